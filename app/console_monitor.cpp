#include "app/console_monitor.h"

#include <cstdio>

#include "app/reload.h"
#include "core/globals.h"
#include "core/log.h"
#include "core/text.h"
#include "net/connection.h"
#include "net/login_failures.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/ip_address.h"

namespace {

constexpr char kEnter = 13;
constexpr char kEscape = 27;

// Slots 1..kSlotCount-1 that carry a connection of a session, client or
// server side; the overflow entry never appears and is never closed from
// here.
template <typename Action>
void ForEachActiveSlot(Action action) {
    for (int slot = 1; slot < kSlotCount; ++slot) {
        SlotState state = SessionTable[slot].state.load();
        if (state == SlotState::kUpstream || state == SlotState::kSession) action(slot);
    }
}

std::string ClockText(int hour, int minute, int second) {
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", hour, minute, second);
    return time;
}

void ListSessions() {
    LocalTime now = LocalNow();
    ForEachActiveSlot([&](int slot) {
        ConsoleWriteLine(SessionListLine(now.hour, now.minute, now.second, slot));
    });
    // Held accounts have no connection, yet the user asking why the mail
    // program fails looks here.
    for (const std::string& line : HeldAccountLines()) {
        ConsoleWriteLine(ClockText(now.hour, now.minute, now.second) + ":  " + line);
    }
}

void CloseAllSessions() {
    ForEachActiveSlot([](int slot) {
        CloseFromOutside(slot);
        WriteLog("Thread" + NumberText(slot) + " killed by User", slot, kLogNotice);
    });
}

void Reload() {
    ReloadConfiguration();
}

struct KeyAction {
    char key;
    void (*action)();
};

// ESC only closes here; the supervision loop sees the same key and stops.
constexpr KeyAction kKeyActions[] = {
    {kEnter, ListSessions},
    {'k', CloseAllSessions},
    {'r', Reload},
    {kEscape, CloseAllSessions},
};

}  // namespace

std::string SessionListLine(int hour, int minute, int second, int slot) {
    if (slot < 1 || slot > kSlotCount) return {};
    const SessionSlot& entry = SessionTable[slot];
    IpAddress address = SlotAddress(slot);
    // An IPv6 address is bracketed, as in a URL, so that the port stands apart.
    std::string addressText = IpAddressText(address);
    if (address.family == IpFamily::kIpv6) addressText = "[" + addressText + "]";
    std::string line = ClockText(hour, minute, second) + ":  " + addressText + ":" +
                       std::to_string(entry.port.load()) + " ID" + NumberText(slot) + " S" +
                       NumberText(entry.socket.load()) + " T" + NumberText(entry.countdown.load()) +
                       " ";
    // Written as the user writes the login, so the operator knows it at once.
    const SessionLogin login = SlotLogin(slot);
    line += login.server;
    if (!login.account.empty()) line += "#" + login.account;
    return line;
}

void HandleConsoleKey(const std::string& key) {
    if (key.size() != 1) return;
    char pressed = LowerCase(key)[0];
    for (const KeyAction& entry : kKeyActions) {
        if (entry.key == pressed) {
            entry.action();
            return;
        }
    }
}
