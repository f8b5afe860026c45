// Line-oriented I/O on session slots. Every operation takes a slot number; a
// slot of 0 or less means "no connection" and makes every operation return at
// once without sending, receiving or logging. Broken links are never returned
// as errors: they set the slot's `failed` flag and are logged.
#pragma once

#include <string>
#include <string_view>

// Connects to host:port (IPv4; a dotted address or a name). Returns the slot
// number of the new connection (owner 1, timeoutSeconds 0), or -1 when the
// connect failed; nothing is left reserved or open then.
int ConnectToServer(const std::string& host, int port);

// Sends the text followed by CR LF.
void SendLine(int slot, std::string_view text);

// Sends the text as it is (it carries its own line ends).
void SendText(int slot, std::string_view text);

// Receives one line without its line end. On failure `failed` is set and the
// line is the empty text.
void ReceiveLine(int slot, std::string& line);

// Copies lines from one slot to the other up to and including the line ".";
// stops early when either slot is marked failed.
void RelayBlock(int fromSlot, int toSlot);

// Closes the slot's connection and empties its receive buffer. Safe from any
// thread: a session blocked on the slot wakes at once and sees a failure.
// Returns true when a connection was closed; false when it was already closed
// or the slot is <= 0.
bool CloseSlot(int slot);

// Called by the supervision loop when a slot's countdown ran out: logs, closes
// the slot, pauses 100 ms.
void KillDeadSocket(int slot);
