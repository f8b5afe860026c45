// The idle watchdog: one pass of the supervision loop over the session table.
#pragma once

// Lowers the countdown of every busy slot 1..kSlotCount-1 (owner > 0) that has
// a time-out, and kills the connection of each slot whose countdown reaches
// exactly 0 (KillDeadSocket, which pauses 100 ms per kill). A countdown below
// 0 never reaches 0 again; the overflow entry is never visited.
void WatchdogTick();
