#include "net/line_io.h"

#include <algorithm>
#include <cmath>

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "platform/tls.h"

// Allocated once and never freed, like the session table it belongs to.
std::array<std::string, kSlotCount + 1>& ReceiveBuffers =
    *new std::array<std::string, kSlotCount + 1>();

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr int kSendErrorPauseMs = 10;    // after a failed send, before returning
constexpr int kReceiveErrorPauseMs = 1;  // after a receive error that is retried
constexpr int kKillPauseMs = 100;        // lets the killed session notice before the next kill
// The clock is local wall time; it is read again at least this often while
// waiting, so that a time-out follows it (and a clock set by tests).
constexpr int kWaitSliceMs = 250;

struct ConditionText {
    SocketCondition condition;
    const char* text;
};

// Names of the send conditions that end a send; any other is "Send_Unknown".
constexpr ConditionText kSendFailures[] = {
    {SocketCondition::kConnectionReset, "Send_Conn_Reset"},
    {SocketCondition::kConnectionAbort, "Send_Conn_Abort"},
    {SocketCondition::kTimedOut, "Send_Reset"},
    {SocketCondition::kInvalid, "Send_Invalid_Socket"},
    {SocketCondition::kNotSocket, "Send_No_Socket"},
};

// Names of the receive conditions that end a receive; any other is
// "Line_Unknown:".
constexpr ConditionText kReceiveFailures[] = {
    {SocketCondition::kConnectionReset, "Line_Conn_Reset"},
    {SocketCondition::kConnectionAbort, "Line_Conn_Abort"},
    {SocketCondition::kTimedOut, "Line_Conn_Timeout"},
};

template <size_t N>
std::string FailureText(const ConditionText (&table)[N], const SocketResult& result,
                        const char* unknown) {
    for (const ConditionText& entry : table) {
        if (entry.condition == result.condition) return entry.text;
    }
    return unknown + NumberText(result.code);
}

bool ValidSlot(int slot) {
    return slot >= 1 && slot <= kSlotCount;
}

double SecondsSince(double start) {
    double now = SecondsSinceMidnight();
    if (now < start) now += kSecondsPerDay;  // midnight passed once
    return now - start;
}

// Returns how long the next wait may last: until the time-out, but never
// longer than one slice; -1 (no limit) when the slot has no time-out.
int NextWaitMs(int timeoutSeconds, double start) {
    if (timeoutSeconds <= 0) return -1;
    double left = timeoutSeconds - SecondsSince(start);
    if (left <= 0) return 1;  // the time-out is due; it counts once more than that has passed
    return static_cast<int>(std::min<double>(kWaitSliceMs, std::ceil(left * 1000.0)));
}

// Peer text goes to the operator's terminal: control bytes could move the
// cursor or retitle the window, so they are shown as dots.
void EchoLine(int slot, std::string_view marker, std::string_view text) {
    std::string echo = std::to_string(slot);
    echo += marker;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        echo += (byte < 0x20 && byte != '\t') || byte == 0x7F ? '.' : c;
    }
    ConsoleWriteLine(echo);
}

void Fail(SessionSlot& entry) {
    entry.failed = 1;
}

// A connection that speaks TLS hands out a record's plaintext at most per
// read; asking for a whole record empties it in one call.
constexpr size_t kTlsReceiveChunkBytes = 16 * 1024;

// One send on the slot's connection, through its TLS channel when it has one.
TlsResult SendSome(SessionSlot& entry, int socket, const char* data, size_t size) {
    if (entry.tls.active()) return entry.tls.Write(data, size);
    TlsResult plain;
    plain.io = SendBytes(socket, data, size);
    plain.waitWritable = true;
    return plain;
}

// One receive on the slot's connection, appended to `buffer`. Over TLS the
// bytes are decrypted straight into the buffer; the library's own buffer
// is emptied before the socket is waited for again, since every wait follows
// a read that asked for it.
TlsResult ReceiveSome(SessionSlot& entry, std::string& buffer) {
    TlsResult step;
    if (entry.tls.active()) {
        size_t kept = buffer.size();
        buffer.resize(kept + kTlsReceiveChunkBytes);
        step = entry.tls.Read(buffer.data() + kept, kTlsReceiveChunkBytes);
        buffer.resize(kept + static_cast<size_t>(std::max(step.io.count, 0L)));
        return step;
    }
    char chunk[kReceiveChunkBytes];
    step.io = ReceiveBytes(entry.socket, chunk, sizeof chunk);
    if (step.io.count > 0) buffer.append(chunk, static_cast<size_t>(step.io.count));
    return step;
}

WaitOutcome WaitForStep(int socket, const TlsResult& step, int timeoutMs) {
    return step.waitWritable ? WaitWritable(socket, timeoutMs) : WaitReadable(socket, timeoutMs);
}

}  // namespace

int ConnectToServer(const std::string& hostText, int port) {
    bool wasFree = false;
    int slot = AllocateSlot(wasFree);
    std::string host = hostText.substr(0, kHostNameLimit);
    std::string portText = NumberText(port);
    if (!wasFree) {
        // Every entry, the overflow entry included, belongs to someone else:
        // there is nothing to connect into and nothing to give back.
        WriteLog("Failed connection to '" + host + "'  Port:" + portText, slot, kLogFailure);
        return -1;
    }
    SessionSlot& entry = SessionTable[slot];

    uint32_t address = ParseDottedAddress(host);
    std::string display = host;
    if (address == 0xFFFFFFFFu) {
        std::string official;
        if (!ResolveHostName(host, address, official)) {
            WriteLog("'" + host + "' not found!", slot, kLogError);
            ReleaseSlot(slot);
            return -1;
        }
        display = official + " (" + DottedAddress(address) + ")";
    }

    SocketHandle socket(OpenTcpSocket());
    if (!socket.valid()) {
        WriteLog("Can't open a socket!", slot, kLogError);
        ReleaseSlot(slot);
        return -1;
    }
    SetNoDelay(socket.get());
    if (!ConnectSocket(socket.get(), address, port)) {
        WriteLog("Failed connection to '" + display + "'  Port:" + portText, slot, kLogFailure);
        socket.Reset();
        ReleaseSlot(slot);
        return -1;
    }
    WriteLog("Outgoing connection to '" + display + "'  Port:" + portText, slot, kLogConnection);
    SetNonBlocking(socket.get(), true);

    ReceiveBuffers[slot].clear();
    entry.address = address;
    entry.port = port;
    entry.timeoutSeconds = 0;
    entry.countdown = 0;
    entry.failed = 0;
    AttachSocket(slot, socket.Release());
    entry.owner = 1;  // last: the watchdog and the console see a complete entry
    return slot;
}

void AttachAcceptedSocket(int slot, int socket, uint32_t address, int port, int timeoutSeconds) {
    if (!ValidSlot(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    ReceiveBuffers[slot].clear();
    entry.address = address;
    entry.port = port;
    entry.timeoutSeconds = timeoutSeconds;
    // A reused entry keeps the last session's countdown; a stale 1 would let
    // the watchdog kill the new client before its first exchange.
    entry.countdown = timeoutSeconds;
    entry.failed = 0;
    AttachSocket(slot, socket);
}

void SendLine(int slot, std::string_view text) {
    if (!ValidSlot(slot)) return;
    SessionTable[slot].countdown = SessionTable[slot].timeoutSeconds.load();
    std::string line(text);
    line += "\r\n";
    SendText(slot, line);
}

void SendText(int slot, std::string_view text) {
    if (!ValidSlot(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    double start = SecondsSinceMidnight();
    int timeout = entry.timeoutSeconds;
    entry.countdown = timeout;

    if (Settings.DebugLine) {
        std::string_view shown = text;
        if (shown.size() >= 2 && shown.substr(shown.size() - 2) == "\r\n") {
            shown.remove_suffix(2);  // the console line brings its own line end
        }
        EchoLine(slot, ">:", shown);
    }

    bool error = false;
    if (entry.closedByOther) {
        // The watchdog or the operator closed this connection.
        WriteLog("Send_No_Socket", slot, kLogDebug);
        Fail(entry);
        error = true;
    }
    int socket = entry.socket;
    size_t sent = 0;
    while (!error && sent < text.size()) {
        TlsResult step = SendSome(entry, socket, text.data() + sent, text.size() - sent);
        const SocketResult& result = step.io;
        if (result.count >= 0) {
            sent += static_cast<size_t>(result.count);
            continue;
        }
        if (result.condition == SocketCondition::kWouldBlock) {
            WriteLog("Send_Empty", slot, kLogDebug);
            if (timeout > 0 && SecondsSince(start) > timeout) {
                WriteLog("Send_Socket_Timeout", slot, kLogDebug);
                Fail(entry);
                error = true;
            } else {
                WaitForStep(socket, step, NextWaitMs(timeout, start));
            }
            continue;
        }
        if (!step.failure.empty()) {
            WriteLog("Send_Tls_Error: " + step.failure, slot, kLogDebug);
        } else {
            WriteLog(FailureText(kSendFailures, result, "Send_Unknown"), slot, kLogDebug);
        }
        Fail(entry);
        error = true;
    }
    if (error) SleepMilliseconds(kSendErrorPauseMs);
}

void ReceiveLine(int slot, std::string& line) {
    if (!ValidSlot(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    std::string& buffer = ReceiveBuffers[slot];
    double start = SecondsSinceMidnight();
    int timeout = entry.timeoutSeconds;
    entry.countdown = timeout;
    size_t searched = 0;  // leading bytes of the buffer known to hold no LF

    for (;;) {
        if (entry.closedByOther) {
            // Closed by the watchdog or the operator: what was received before
            // belongs to a dead connection. Dropping it here, in the owner's
            // thread, keeps the buffer valid while the owner was reading it.
            buffer.clear();
            WriteLog("Line_Conn_Abort", slot, kLogDebug);
            Fail(entry);
            break;
        }
        size_t end = buffer.find('\n', searched);
        if (end != std::string::npos) {
            size_t length = end;
            if (length > 0 && buffer[length - 1] == '\r') --length;
            line.assign(buffer, 0, length);
            buffer.erase(0, end + 1);
            if (Settings.DebugLine) EchoLine(slot, "<:", line);
            return;
        }
        searched = buffer.size();
        if (buffer.size() > kMaxPendingBytes) {
            buffer.clear();
            WriteLog("Line too long, connection dropped", slot, kLogFailure);
            Fail(entry);
            break;
        }

        TlsResult step = ReceiveSome(entry, buffer);
        const SocketResult& result = step.io;
        if (result.count > 0) {
            // Handed out from the top of the loop.
        } else if (result.count == 0) {
            // The peer closed; or the watchdog or the operator did, which the
            // next round reports.
            if (!entry.closedByOther) Fail(entry);
        } else if (result.condition == SocketCondition::kWouldBlock) {
            if (Settings.DebugLine) WriteLog("Line_Buffer_Empty", slot, kLogDebug);
            // Data that arrives is handed out at once; only a wait that ends
            // without data looks at the time-out.
            if (WaitForStep(entry.socket, step, NextWaitMs(timeout, start)) !=
                    WaitOutcome::kReady &&
                timeout > 0 && SecondsSince(start) > timeout) {
                WriteLog("Line_Socket_Timeout", slot, kLogDebug);
                Fail(entry);
            }
        } else if (result.condition == SocketCondition::kMessageTooLong) {
            WriteLog("Buffer too small", slot, kLogDebug);
            SleepMilliseconds(kReceiveErrorPauseMs);
        } else if (!step.failure.empty()) {
            WriteLog("Line_Tls_Error: " + step.failure, slot, kLogDebug);
            Fail(entry);
        } else {
            WriteLog(FailureText(kReceiveFailures, result, "Line_Unknown:"), slot, kLogDebug);
            Fail(entry);
        }
        if (entry.failed && !entry.closedByOther) break;
    }
    line.clear();
}

void RelayBlock(int fromSlot, int toSlot) {
    if (!ValidSlot(fromSlot) || !ValidSlot(toSlot)) return;
    std::string pending;
    std::string line;
    for (;;) {
        ReceiveLine(fromSlot, line);
        if (SessionTable[fromSlot].failed) return;
        if (line == ".") {
            pending += ".\r\n";
            SendText(toSlot, pending);
            return;
        }
        pending += line;
        pending += "\r\n";
        if (pending.size() > kRelayBatchBytes) {
            SendText(toSlot, pending);
            pending.clear();
        }
        if (SessionTable[toSlot].failed) return;
    }
}

bool CloseSlot(int slot) {
    if (!ValidSlot(slot)) return false;
    bool closed;
    if (CallerOwnsSlot(slot)) {
        ReceiveBuffers[slot].clear();
        SessionSlot& entry = SessionTable[slot];
        // A close_notify tells the server that nothing was cut off; it is
        // owed only over a link that still works.
        entry.tls.End(entry.failed == 0 && entry.closedByOther == 0);
        bool wasShutDown = false;
        int socket = DetachSocket(slot, wasShutDown);
        // A connection the watchdog or the operator shut down was closed in
        // their eyes already; its number is given back here all the same.
        closed = CloseSocket(socket) && !wasShutDown;
    } else {
        closed = ShutDownFromOutside(slot);
    }
    if (closed) {
        WriteLog("Socket closed", slot, kLogNotice);
    } else {
        WriteLog("Socket already closed", slot, kLogFailure);
    }
    return closed;
}

void KillDeadSocket(int slot) {
    if (!ValidSlot(slot)) return;
    WriteLog("Socket is dead, perform killing Thread", slot, kLogError);
    CloseSlot(slot);
    SleepMilliseconds(kKillPauseMs);
}
