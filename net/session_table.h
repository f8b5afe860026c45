// The session table: every connection the proxy holds, client side and server
// side, is known by the number of its entry (its slot number).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/globals.h"
#include "platform/tls.h"

// One connection. The thread that reserved the entry (a listener while it sets
// up a client, then the session thread it starts; or the session that called
// ConnectToServer) is its owner thread: only that thread sends, receives,
// touches the slot's receive buffer and closes the socket number.
//
// Two other threads may end the connection while the owner is blocked on it:
// the watchdog and the operator's kill. They never close the number, since a
// closed number is reused by the next accept or connect at once and the owner
// would then read or write a stranger's connection. Instead, under `closeLock`,
// they shut the connection down (which wakes a blocked receive, send or wait
// at once) and set `closedByOther`. The owner then sees its exchange fail,
// drops its receive buffer itself and closes the number in its own CloseSlot
// (or, at the latest, in ReleaseSlot). The owner takes the number out of
// `socket` under the same lock, so a shut-down never hits a number that has
// been closed and handed out again.
struct SessionSlot {
    // 0 free; -1 reserved (being set up, or the overflow entry); 1 outgoing
    // connection to a real server; any other positive value the handle of the
    // session thread serving this client connection.
    std::atomic<int32_t> owner{0};
    std::atomic<int32_t> socket{-1};         // the connection's socket number, -1 for none
    std::atomic<uint32_t> address{0};        // peer IPv4 address, network byte order
    std::atomic<int32_t> timeoutSeconds{0};  // idle time-out; 0 = none
    std::atomic<int32_t> countdown{0};       // seconds left before the watchdog closes it
    std::atomic<int32_t> failed{0};          // 1 once a send or receive failed
    std::atomic<int32_t> port{0};            // listening port (accepted) or server port (outgoing)

    // The connection-layer state behind the fields above.
    std::atomic<uint64_t> ownerThread{0};   // CurrentThreadTag() of the owner thread
    std::atomic<int32_t> closedByOther{0};  // 1 once the watchdog or the operator shut it down
    std::mutex closeLock;                   // orders a foreign shut-down against the owner's close

    // Active while the connection speaks TLS. Owner thread only, like the
    // receive buffer: a foreign close shuts the socket down under it and the
    // owner frees it (CloseSlot, ReleaseSlot).
    TlsChannel tls;
};

// Entries 1..kSlotCount; index 0 is unused. Entry kSlotCount is the overflow
// entry, handed out when 1..kSlotCount-1 are all taken.
extern SessionSlot (&SessionTable)[kSlotCount + 1];

// Reserves the first free entry 1..kSlotCount (owner := -1, the caller its
// owner thread) and returns its number; returns kSlotCount whatever its state
// when none is free, leaving it unchanged when it was already taken.
int AllocateSlot();

// As AllocateSlot; `wasFree` tells whether the caller got the entry to itself
// (false only for an overflow entry that was already taken by someone else).
int AllocateSlot(bool& wasFree);

// Frees the entry (owner, address, port, timeoutSeconds, failed := 0; socket
// := -1) and returns the slot number. A TLS channel still held is ended
// without notice to the peer and a socket number still held is closed
// first. The receive buffer is left as it is. Returns the slot unchanged and
// does nothing for a slot outside 1..kSlotCount.
int ReleaseSlot(int slot);

// Returns a number that names the calling thread for the life of the process
// (never 0).
uint64_t CurrentThreadTag();

// Makes the calling thread the slot's owner thread (a session thread taking
// over the entry its listener set up).
void AdoptSlot(int slot);

// Returns true when the calling thread is the slot's owner thread.
bool CallerOwnsSlot(int slot);

// Owner only: puts a freshly opened socket number into the slot, which must
// hold none.
void AttachSocket(int slot, int socket);

// Owner only: takes the socket number out of the slot (socket := -1).
// Returns it, or -1 when the slot held none; `wasShutDown` tells whether
// another thread had shut the connection down.
int DetachSocket(int slot, bool& wasShutDown);

// Any thread but the owner: shuts the slot's connection down and marks it
// closed by another thread. Returns true when a live connection was shut
// down; false when there was none or it had been shut down already.
bool ShutDownFromOutside(int slot);
