// The session table: what the watchdog and the operator's console need to
// know of every connection the proxy holds, client side and server side. An
// entry is known by its number (its slot number), which is also the
// connection's identity in greetings, logs and on the console.
//
// The connection itself (receive buffer, TLS channel, failed flag) belongs
// to the Connection object that holds the entry (net/connection.h), and with
// it to one thread: the listener while it sets up a client, then the session
// thread it hands the client to; or the session that connected to a server.
// Only that owner sends, receives and closes the socket number.
//
// Two other threads may end the connection while the owner is blocked on it:
// the watchdog and the operator's kill. They never close the number, since a
// closed number is reused by the next accept or connect at once and the owner
// would then read or write a stranger's connection. Instead, under
// `closeLock`, they shut the connection down (which wakes a blocked receive,
// send or wait at once) and set `closedByOther`. The owner then sees its
// exchange fail, drops its receive buffer itself and closes the number when
// it closes or releases the connection. The owner takes the number out of
// `socket` under the same lock, so a shut-down never hits a number that has
// been closed and handed out again.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "core/globals.h"
#include "platform/ip_address.h"
#include "platform/socket.h"

// What an entry is used for.
enum class SlotState : int {
    kFree,      // nobody's
    kReserved,  // being set up, or the overflow entry: neither watched nor listed
    kUpstream,  // an outgoing connection to a real server
    kSession,   // a client connection served by its session thread
};

// What a client session is doing, as its session says at each step.
enum class SessionActivity : int {
    kAwaitingLogin,  // greeted; the login has not named a server yet, or names one not yet used
    kLoggingIn,      // connecting and logging in to the real server
    kScanning,       // reading the mailbox's headers and judging them
    kServing,        // answering the mail program from the judged mailbox
    kReadingNews,    // relaying the news reader's commands
    kClosing,        // ending both links
};

// What a session has said about its login. Never a password or a token.
struct SessionLogin {
    std::string server;   // "host:port", an IPv6 host in brackets; "" before the login names it
    std::string account;  // "" before the login names it
    SessionActivity activity = SessionActivity::kAwaitingLogin;
};

struct SessionSlot {
    std::atomic<SlotState> state{SlotState::kFree};
    std::atomic<int32_t> socket{kNoSocket};  // the connection's socket number
    std::atomic<int32_t> port{0};            // listening port (accepted) or server port (outgoing)
    std::atomic<int32_t> timeoutSeconds{0};  // idle time-out; 0 = none
    std::atomic<int32_t> countdown{0};       // seconds left before the watchdog closes it
    std::atomic<int64_t> reservedAt{0};      // UnixSeconds when AllocateSlot handed it out

    std::atomic<bool> closedByOther{false};  // the watchdog or the operator shut it down
    std::mutex closeLock;                    // orders a foreign shut-down against the owner's close

    // The peer's address (the client's, or the server's the connect used):
    // too large for an atomic, so read and written through SlotAddress and
    // SetSlotAddress under its own lock.
    IpAddress address;
    std::mutex addressLock;

    // For an outgoing connection: the client session's slot it was opened
    // for; 0 when none (or not said).
    std::atomic<int32_t> clientSlot{0};

    // A session's login and activity (kSession entries): strings, so read
    // and written through SlotLogin, SetSlotLogin and SetSlotActivity under
    // their own lock.
    SessionLogin login;
    std::mutex loginLock;
};

// Entries 1..kSlotCount; index 0 is unused. Entry kSlotCount is the overflow
// entry, handed out when 1..kSlotCount-1 are all taken.
extern SessionSlot (&SessionTable)[kSlotCount + 1];

// Reserves the first free entry 1..kSlotCount (state := kReserved) and
// returns its number; returns kSlotCount whatever its state when none is
// free, leaving it unchanged when it was already taken.
int AllocateSlot();

// As AllocateSlot; `wasFree` tells whether the caller got the entry to itself
// (false only for an overflow entry that was already taken by someone else).
int AllocateSlot(bool& wasFree);

// Frees the entry (state := kFree; address 0.0.0.0; port, timeoutSeconds,
// clientSlot := 0; login := {} with activity kAwaitingLogin),
// closing a socket number it still holds first. Does nothing for a slot
// outside 1..kSlotCount.
void ReleaseSlot(int slot);

// Owner only: sets the entry's peer address. Does nothing for a slot outside
// 1..kSlotCount.
void SetSlotAddress(int slot, const IpAddress& address);

// Returns the entry's peer address; 0.0.0.0 for a free entry or a slot
// outside 1..kSlotCount.
IpAddress SlotAddress(int slot);

// Longest server or account text kept: enough for any host name (255) with
// its port, and a page or console line stays readable whatever a client sends.
inline constexpr size_t kSlotLoginTextLimit = 300;

// Owner only: records the server and account a session's login names. The
// server is kept as "host:port", a host with a ":" (an IPv6 literal) in
// brackets unless it has them already; "" for an empty host. Control
// characters in either become "?" and each is cut to kSlotLoginTextLimit
// bytes, since both come from the client and are shown on the console. The
// activity is left as it is. Does nothing for a slot outside 1..kSlotCount.
void SetSlotLogin(int slot, std::string_view host, int port, std::string_view account);

// Owner only: records what the session is doing now. Does nothing for a slot
// outside 1..kSlotCount.
void SetSlotActivity(int slot, SessionActivity activity);

// Returns a copy of what the session has said about its login; empty
// strings and kAwaitingLogin for a free entry, an entry that never said, or
// a slot outside 1..kSlotCount.
SessionLogin SlotLogin(int slot);

// Owner only: puts a freshly opened socket number into the slot, which must
// hold none.
void AttachSocket(int slot, int socket);

// Owner only: takes the socket number out of the slot (socket := kNoSocket).
// Returns it, or kNoSocket when the slot held none; `wasShutDown` tells
// whether another thread had shut the connection down.
int DetachSocket(int slot, bool& wasShutDown);

// Any thread but the owner's: shuts the slot's connection down and marks it
// closed by another thread. Returns true when a live connection was shut
// down; false when there was none, it had been shut down already, or the
// slot lies outside 1..kSlotCount.
bool ShutDownFromOutside(int slot);
