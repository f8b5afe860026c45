// The idle watchdog: one pass of the supervision loop over the session table.
#pragma once

// Lowers the countdown of every watched entry 1..kSlotCount-1 (state
// kUpstream or kSession) that has a time-out, and kills the connection of
// each entry whose countdown reaches exactly 0 (KillDeadSocket). A countdown
// below 0 never reaches 0 again; the overflow entry is never visited.
void WatchdogTick();

// Logs "Socket is dead, perform killing Thread", closes the slot's
// connection from outside (CloseFromOutside) and pauses 100 ms, so that the
// killed session notices before the next kill. Does nothing for a slot
// outside 1..kSlotCount.
void KillDeadSocket(int slot);
