#include "net/session_table.h"

#include "platform/socket.h"

// Allocated once and never freed: session threads are not waited for at
// shutdown, so the table must outlive them.
SessionSlot (&SessionTable)[kSlotCount + 1] = *new SessionSlot[1][kSlotCount + 1];

namespace {

bool InRange(int slot) {
    return slot >= 1 && slot <= kSlotCount;
}

std::atomic<uint64_t> nextThreadTag{1};

}  // namespace

uint64_t CurrentThreadTag() {
    thread_local const uint64_t tag = nextThreadTag.fetch_add(1);
    return tag;
}

int AllocateSlot(bool& wasFree) {
    std::lock_guard guard(SlotTableLock);
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        SessionSlot& entry = SessionTable[slot];
        if (entry.owner.load() == 0) {
            entry.owner = -1;
            entry.ownerThread = CurrentThreadTag();
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

int ReleaseSlot(int slot) {
    if (!InRange(slot)) return slot;
    SessionSlot& entry = SessionTable[slot];
    entry.tls.End(false);
    bool wasShutDown = false;
    CloseSocket(DetachSocket(slot, wasShutDown));
    std::lock_guard guard(SlotTableLock);
    entry.address = 0;
    entry.port = 0;
    entry.timeoutSeconds = 0;
    entry.failed = 0;
    entry.ownerThread = 0;
    entry.owner = 0;
    return slot;
}

void AdoptSlot(int slot) {
    if (InRange(slot)) SessionTable[slot].ownerThread = CurrentThreadTag();
}

bool CallerOwnsSlot(int slot) {
    return InRange(slot) && SessionTable[slot].ownerThread.load() == CurrentThreadTag();
}

void AttachSocket(int slot, int socket) {
    if (!InRange(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.closeLock);
    entry.socket = socket;
    entry.closedByOther = 0;
}

int DetachSocket(int slot, bool& wasShutDown) {
    wasShutDown = false;
    if (!InRange(slot)) return kNoSocket;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.closeLock);
    wasShutDown = entry.closedByOther.exchange(0) != 0;
    return entry.socket.exchange(kNoSocket);
}

bool ShutDownFromOutside(int slot) {
    if (!InRange(slot)) return false;
    SessionSlot& entry = SessionTable[slot];
    std::lock_guard guard(entry.closeLock);
    int socket = entry.socket.load();
    if (socket < 0 || entry.closedByOther.load() != 0) return false;
    // The flag goes first: whoever sees the shutdown also sees who did it.
    entry.closedByOther = 1;
    ShutdownSocket(socket);
    return true;
}
