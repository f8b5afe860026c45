#include "net/watchdog.h"

#include "core/globals.h"
#include "net/line_io.h"
#include "net/session_table.h"

void WatchdogTick() {
    for (int slot = 1; slot < kSlotCount; ++slot) {
        SessionSlot& entry = SessionTable[slot];
        if (entry.owner.load() <= 0 || entry.timeoutSeconds.load() <= 0) continue;
        // One atomic step: a session that sets the countdown back at the same
        // moment loses neither its reset nor this tick.
        if (entry.countdown.fetch_sub(1) - 1 == 0) KillDeadSocket(slot);
    }
}
