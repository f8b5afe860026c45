// The session table: every connection the proxy holds, client side and server
// side, is known by the number of its entry (its slot number).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/globals.h"

struct SessionSlot {
    // 0 free; -1 reserved (being set up, or the overflow entry); 1 outgoing
    // connection to a real server; any other positive value the handle of the
    // session thread serving this client connection.
    std::atomic<int32_t> owner{0};
    std::atomic<int32_t> socket{-1};       // the connection's socket number, -1 for none
    std::atomic<uint32_t> address{0};      // peer IPv4 address, network byte order
    std::atomic<int32_t> timeoutSeconds{0};  // idle time-out; 0 = none
    std::atomic<int32_t> countdown{0};     // seconds left before the watchdog closes it
    std::atomic<int32_t> failed{0};        // 1 once a send or receive failed
    std::atomic<int32_t> port{0};          // listening port (accepted) or server port (outgoing)
};

// Entries 1..kSlotCount; index 0 is unused. Entry kSlotCount is the overflow
// entry, handed out when 1..kSlotCount-1 are all taken.
extern SessionSlot (&SessionTable)[kSlotCount + 1];

// Reserves the first free entry 1..kSlotCount (owner := -1) and returns its
// number; returns kSlotCount whatever its state when none is free.
int AllocateSlot();

// Frees the entry (owner, socket, address, port, timeoutSeconds, failed := 0)
// and returns the slot number. The receive buffer is left as it is.
int ReleaseSlot(int slot);
