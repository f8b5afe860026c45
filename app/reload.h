// A reload: the kill file, ACCESS.IP, TRAWLBOX.RBL and the keys that may
// change while running, read again and put into effect while sessions run.
#pragma once

// Reads the configuration directory (ProgramDirectory) as start-up does.
// When it has an error, as `trawlbox check` would say, nothing changes: each
// problem is logged at level 2 as "FILE:LINE: what is wrong" and then that
// the running configuration is kept; returns false. Otherwise publishes the
// new kill set, both lists and the live keys (SettingChange::kWhileRunning)
// at once, logs its warnings at level 2 and the outcome with the counts,
// and returns true. New judgements use the new set; one in progress
// finishes with the set it started with. Reloads asked for by several
// threads (the supervision loop, the web page) run one after the other.
bool ReloadConfiguration();
