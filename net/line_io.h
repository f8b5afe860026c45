// Line-oriented I/O on session slots. Every operation takes a slot number; a
// slot of 0 or less means "no connection" and makes every operation return at
// once without sending, receiving or logging. Broken links are never returned
// as errors: they set the slot's `failed` flag and are logged.
//
// Outgoing connections are non-blocking: a receive or send on them waits for
// the socket to become ready and gives up ("Line_Socket_Timeout",
// "Send_Socket_Timeout") once the slot's timeoutSeconds have passed on the
// monotonic clock, or waits without limit when timeoutSeconds is 0. Accepted connections stay blocking
// and wait without limit: only the watchdog ends a wait that lasts too long.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/globals.h"

// Bytes taken from the socket by one receive call: large, so that a long
// message costs few system calls. Lines are handed out from a read offset, so
// the chunk size costs nothing per line.
inline constexpr size_t kReceiveChunkBytes = 64 * 1024;

// Received bytes a slot may hold without a line feed. Far above any real mail
// or news line; a peer that sends an endless line is cut off here instead of
// growing the process without bound.
inline constexpr size_t kMaxPendingBytes = 1024 * 1024;

// Lines gathered for a peer are sent once they exceed this size: few system
// calls for large messages, and a bounded amount held per session.
inline constexpr size_t kRelayBatchBytes = 64 * 1024;

// Before RelayBlock waits for more of a block, it sends what it has gathered
// once that is more than this: a message arriving in pieces reaches the
// receiver as it comes instead of at its end, while a few short lines are
// not worth a send of their own.
inline constexpr size_t kRelayEarlySendBytes = 1024;

// Only this many characters of a host name are used for a connect.
inline constexpr size_t kHostNameLimit = 63;

// Received bytes of one slot. The bytes before `offset` were handed out
// already; they are dropped only now and then, so that handing out a line
// never moves the rest of the buffer.
struct ReceiveBuffer {
    std::string bytes;
    size_t offset = 0;

    // Returns the bytes received but not yet handed out.
    std::string_view Unread() const { return std::string_view(bytes).substr(offset); }
    bool empty() const { return offset >= bytes.size(); }
    void clear() {
        bytes.clear();
        offset = 0;
    }
};

// The receive buffer of each slot. Used only by the slot's owner thread;
// CloseSlot by the owner, and a new connection in the slot, empty it.
extern std::array<ReceiveBuffer, kSlotCount + 1>& ReceiveBuffers;

// Returns true when the slot's buffer already holds a whole line, so that
// ReceiveLine would not wait.
bool HasBufferedLine(int slot);

// Connects to host:port (IPv4; a dotted address or a name). Returns the slot
// number of the new connection (owner 1, timeoutSeconds 0), or -1 when the
// connect failed; nothing is left reserved or open then. Fails, without
// touching it, when the table is full and its overflow entry is in use.
int ConnectToServer(const std::string& host, int port);

// Sends the text followed by CR LF.
void SendLine(int slot, std::string_view text);

// Sends the text as it is (it carries its own line ends).
void SendText(int slot, std::string_view text);

// Receives one line without its line end (the LF and a CR directly before
// it). On failure `failed` is set and the line is the empty text.
void ReceiveLine(int slot, std::string& line);

// Copies lines from one slot to the other up to and including the line ".";
// stops early when either slot is marked failed. A non-empty `leadLine` (a
// reply line announcing the block) is sent with CR LF ahead of the block, in
// the same batch as its first lines.
void RelayBlock(int fromSlot, int toSlot, std::string_view leadLine = {});

// Reads and drops lines from the slot up to and including the line ".";
// stops when the slot is marked failed.
void SkipBlock(int slot);

// Closes the slot's connection and empties its receive buffer. Safe from any
// thread: a session blocked on the slot wakes at once and sees a failure.
// Returns true when a connection was closed; false when it was already closed
// or the slot is <= 0.
bool CloseSlot(int slot);

// Called by the supervision loop when a slot's countdown ran out: logs, closes
// the slot, pauses 100 ms.
void KillDeadSocket(int slot);

// Puts an accepted connection into a slot its caller reserved: socket, peer
// address, listening port, time-out (countdown set to it), failed := 0, empty
// receive buffer. The socket is owned by the slot from here on.
void AttachAcceptedSocket(int slot, int socket, uint32_t address, int port, int timeoutSeconds);
