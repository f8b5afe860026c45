#include "net/session_table.h"

#include "core/text.h"
#include "platform/clock.h"

// Allocated once and never freed: session threads are not waited for at
// shutdown, so the table must outlive them.
SessionSlot (&SessionTable)[kSlotCount + 1] = *new SessionSlot[1][kSlotCount + 1];

namespace {

// Guards the choice of a free entry against another thread choosing it too,
// and its release against that choice. Never freed, like the table.
std::mutex& tableLock = *new std::mutex();

bool InRange(int slot) {
    return slot >= 1 && slot <= kSlotCount;
}

// A client's text as the table keeps it: cut, and without control
// characters that would move the console's cursor or colour it.
std::string Shown(std::string_view text) {
    std::string shown(Utf8Prefix(text, kSlotLoginTextLimit));
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return shown;
}

}  // namespace

int AllocateSlot(bool& wasFree) {
    std::lock_guard guard(tableLock);
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        SessionSlot& entry = SessionTable[slot];
        if (entry.state.load() == SlotState::kFree) {
            entry.state = SlotState::kReserved;
            entry.reservedAt = UnixSeconds();
            wasFree = true;
            return slot;
        }
    }
    // The overflow entry is in someone's hands: marking it would take it from
    // them, so the caller only learns that the table is full.
    wasFree = false;
    return kSlotCount;
}

int AllocateSlot() {
    bool wasFree = false;
    return AllocateSlot(wasFree);
}

void ReleaseSlot(int slot) {
    if (!InRange(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    bool wasShutDown = false;
    CloseSocket(DetachSocket(slot, wasShutDown));
    SetSlotAddress(slot, IpAddress{});
    {
        std::lock_guard loginGuard(entry.loginLock);
        entry.login = {};
    }
    std::lock_guard guard(tableLock);
    entry.clientSlot = 0;
    entry.port = 0;
    entry.timeoutSeconds = 0;
    entry.state = SlotState::kFree;
}

void SetSlotAddress(int slot, const IpAddress& address) {
    if (!InRange(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.addressLock);
    entry.address = address;
}

IpAddress SlotAddress(int slot) {
    if (!InRange(slot)) return {};
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.addressLock);
    return entry.address;
}

void SetSlotLogin(int slot, std::string_view host, int port, std::string_view account) {
    if (!InRange(slot)) return;
    const bool bracket = host.find(':') != std::string_view::npos && !host.starts_with('[');
    std::string server = bracket ? "[" + std::string(host) + "]" : std::string(host);
    server = host.empty() ? std::string() : Shown(server + ":" + std::to_string(port));
    std::string shownAccount = Shown(account);
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.loginLock);
    entry.login.server = std::move(server);
    entry.login.account = std::move(shownAccount);
}

void SetSlotActivity(int slot, SessionActivity activity) {
    if (!InRange(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.loginLock);
    entry.login.activity = activity;
}

SessionLogin SlotLogin(int slot) {
    if (!InRange(slot)) return {};
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.loginLock);
    return entry.login;
}

void AttachSocket(int slot, int socket) {
    if (!InRange(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.closeLock);
    entry.socket = socket;
    entry.closedByOther = false;
}

int DetachSocket(int slot, bool& wasShutDown) {
    wasShutDown = false;
    if (!InRange(slot)) return kNoSocket;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.closeLock);
    wasShutDown = entry.closedByOther.exchange(false);
    return entry.socket.exchange(kNoSocket);
}

bool ShutDownFromOutside(int slot) {
    if (!InRange(slot)) return false;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.closeLock);
    int socket = entry.socket.load();
    if (socket < 0 || entry.closedByOther.load()) return false;
    // The flag goes first: whoever sees the shutdown also sees who did it.
    entry.closedByOther = true;
    ShutdownSocket(socket);
    return true;
}
