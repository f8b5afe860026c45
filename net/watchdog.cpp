#include "net/watchdog.h"

#include "core/globals.h"
#include "core/log.h"
#include "net/connection.h"
#include "net/session_table.h"
#include "platform/clock.h"

namespace {

constexpr int kKillPauseMs = 100;  // lets the killed session notice before the next kill

bool Watched(SlotState state) {
    return state == SlotState::kUpstream || state == SlotState::kSession;
}

}  // namespace

void WatchdogTick() {
    for (int slot = 1; slot < kSlotCount; ++slot) {
        SessionSlot& entry = SessionTable[slot];
        if (!Watched(entry.state.load()) || entry.timeoutSeconds.load() <= 0) continue;
        // One atomic step: a session that sets the countdown back at the same
        // moment loses neither its reset nor this tick.
        if (entry.countdown.fetch_sub(1) - 1 == 0) KillDeadSocket(slot);
    }
}

void KillDeadSocket(int slot) {
    if (slot < 1 || slot > kSlotCount) return;
    WriteLog("Socket is dead, perform killing Thread", slot, kLogError);
    CloseFromOutside(slot);
    SleepMilliseconds(kKillPauseMs);
}
