#include "net/line_io.h"

#include <algorithm>

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "platform/tls.h"

// Allocated once and never freed, like the session table it belongs to.
std::array<ReceiveBuffer, kSlotCount + 1>& ReceiveBuffers =
    *new std::array<ReceiveBuffer, kSlotCount + 1>();

namespace {

constexpr int kSendErrorPauseMs = 10;    // after a failed send, before returning
constexpr int kReceiveErrorPauseMs = 1;  // after a receive error that is retried
constexpr int kKillPauseMs = 100;        // lets the killed session notice before the next kill
constexpr int64_t kMillisecondsPerSecond = 1000;
// The clock is read again at least this often while waiting, so that a
// time-out follows a clock set by tests.
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

// Returns how long the next wait may last: until the time-out, but never
// longer than one slice; -1 (no limit) when the slot has no time-out.
int NextWaitMs(int timeoutSeconds, int64_t elapsedMs) {
    if (timeoutSeconds <= 0) return -1;
    int64_t left = timeoutSeconds * kMillisecondsPerSecond - elapsedMs;
    if (left <= 0) return 1;  // the time-out is due; it counts once more than that has passed
    return static_cast<int>(std::min<int64_t>(kWaitSliceMs, left));
}

bool TimedOut(int timeoutSeconds, int64_t elapsedMs) {
    return timeoutSeconds > 0 && elapsedMs > timeoutSeconds * kMillisecondsPerSecond;
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

WaitOutcome WaitForStep(int socket, const TlsResult& step, int timeoutMs) {
    return step.waitWritable ? WaitWritable(socket, timeoutMs) : WaitReadable(socket, timeoutMs);
}

// Drops the handed-out front of the buffer once it is worth moving the rest:
// when nothing is left, or when the front outweighs what remains.
void Compact(ReceiveBuffer& buffer) {
    if (buffer.offset == 0) return;
    if (buffer.offset >= buffer.bytes.size()) {
        buffer.clear();
    } else if (buffer.offset >= buffer.bytes.size() / 2) {
        buffer.bytes.erase(0, buffer.offset);
        buffer.offset = 0;
    }
}

// One receive on the slot's connection, appended to `buffer`. The bytes are
// received (or, over TLS, decrypted) straight into the buffer; the TLS
// library's own buffer is emptied before the socket is waited for again,
// since every wait follows a read that asked for it.
TlsResult ReceiveSome(SessionSlot& entry, ReceiveBuffer& buffer) {
    Compact(buffer);
    std::string& bytes = buffer.bytes;
    size_t kept = bytes.size();
    TlsResult step;
    if (entry.tls.active()) {
        bytes.resize(kept + kTlsReceiveChunkBytes);
        step = entry.tls.Read(bytes.data() + kept, kTlsReceiveChunkBytes);
    } else {
        bytes.resize(kept + kReceiveChunkBytes);
        step.io = ReceiveBytes(entry.socket, bytes.data() + kept, kReceiveChunkBytes);
    }
    bytes.resize(kept + static_cast<size_t>(std::max(step.io.count, 0L)));
    return step;
}

// The monotonic clock reading a wait measures its time-out from; ElapsedMs
// takes it at its first call. It is read only when a wait is needed: a line
// that is already buffered costs no clock reading.
struct WaitStart {
    bool taken = false;
    int64_t startMs = 0;

    int64_t ElapsedMs() {
        int64_t now = MonotonicMilliseconds();
        if (!taken) {
            startMs = now;
            taken = true;
        }
        return now - startMs;
    }
};

// Returns true, and marks the slot failed, when the watchdog or the operator
// closed it: what was received before belongs to a dead connection. Dropping
// it here, in the owner's thread, keeps the buffer valid while the owner was
// reading it.
bool LostToOthers(int slot, SessionSlot& entry, ReceiveBuffer& buffer) {
    if (!entry.closedByOther) return false;
    buffer.clear();
    WriteLog("Line_Conn_Abort", slot, kLogDebug);
    Fail(entry);
    return true;
}

// Receives more bytes into the slot's buffer, waiting for them when none are
// ready. Returns false once the slot is marked failed (its buffer is then
// dropped when the watchdog or the operator closed it).
template <typename BeforeWait>
bool FillBuffer(int slot, SessionSlot& entry, ReceiveBuffer& buffer, WaitStart& start,
                BeforeWait&& beforeWait) {
    if (LostToOthers(slot, entry, buffer)) return false;
    if (buffer.bytes.size() - buffer.offset > kMaxPendingBytes) {
        buffer.clear();
        WriteLog("Line too long, connection dropped", slot, kLogFailure);
        Fail(entry);
        return false;
    }
    int timeout = entry.timeoutSeconds;
    TlsResult step = ReceiveSome(entry, buffer);
    const SocketResult& result = step.io;
    if (result.count > 0) {
        return true;
    } else if (result.count == 0) {
        // The peer closed; or the watchdog or the operator did, which the
        // next round reports.
        if (!entry.closedByOther) Fail(entry);
    } else if (result.condition == SocketCondition::kWouldBlock) {
        if (Settings.DebugLine) WriteLog("Line_Buffer_Empty", slot, kLogDebug);
        beforeWait();
        // Data that arrives is handed out at once; only a wait that ends
        // without data looks at the time-out.
        int waitMs = NextWaitMs(timeout, start.ElapsedMs());
        if (WaitForStep(entry.socket, step, waitMs) != WaitOutcome::kReady &&
            TimedOut(timeout, start.ElapsedMs())) {
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
    return !(entry.failed && !entry.closedByOther);
}

// Returns the length of the line that ends at `end` (an LF) without its line
// end: only a CR directly before the LF belongs to the line end.
size_t LineLength(std::string_view unread, size_t end) {
    return end > 0 && unread[end - 1] == '\r' ? end - 1 : end;
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
    WaitStart start;
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
            int64_t elapsed = start.ElapsedMs();
            if (TimedOut(timeout, elapsed)) {
                WriteLog("Send_Socket_Timeout", slot, kLogDebug);
                Fail(entry);
                error = true;
            } else {
                WaitForStep(socket, step, NextWaitMs(timeout, elapsed));
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

namespace {

// The relay of one line at a time, each line received and sent with a CR LF.
void RelayBlockByLines(int fromSlot, int toSlot, std::string_view leadLine) {
    std::string pending;
    if (!leadLine.empty()) {
        pending.append(leadLine);
        pending += "\r\n";
    }
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

}  // namespace

bool HasBufferedLine(int slot) {
    return ValidSlot(slot) && ReceiveBuffers[slot].Unread().find('\n') != std::string_view::npos;
}

void ReceiveLine(int slot, std::string& line) {
    if (!ValidSlot(slot)) return;
    SessionSlot& entry = SessionTable[slot];
    ReceiveBuffer& buffer = ReceiveBuffers[slot];
    entry.countdown = entry.timeoutSeconds.load();
    WaitStart start;
    size_t searched = 0;  // leading unread bytes known to hold no LF

    for (;;) {
        if (LostToOthers(slot, entry, buffer)) break;
        std::string_view unread = buffer.Unread();
        size_t end = unread.find('\n', searched);
        if (end != std::string_view::npos) {
            line.assign(unread.substr(0, LineLength(unread, end)));
            buffer.offset += end + 1;
            if (Settings.DebugLine) EchoLine(slot, "<:", line);
            return;
        }
        searched = unread.size();
        size_t before = buffer.offset;
        if (!FillBuffer(slot, entry, buffer, start, [] {})) break;
        // Compacting moved the unread bytes to the front; the search resumes
        // where it stopped.
        if (buffer.offset != before) searched = std::min(searched, buffer.Unread().size());
    }
    line.clear();
}

void RelayBlock(int fromSlot, int toSlot, std::string_view leadLine) {
    if (!ValidSlot(fromSlot) || !ValidSlot(toSlot)) return;
    if (Settings.DebugLine) {
        // Line by line, so that every relayed line is echoed.
        if (!leadLine.empty()) EchoLine(toSlot, ">:", leadLine);
        RelayBlockByLines(fromSlot, toSlot, leadLine);
        return;
    }
    SessionSlot& from = SessionTable[fromSlot];
    ReceiveBuffer& buffer = ReceiveBuffers[fromSlot];
    from.countdown = from.timeoutSeconds.load();
    WaitStart start;
    std::string pending;
    if (!leadLine.empty()) {
        pending.append(leadLine);
        pending += "\r\n";
    }
    // Whole lines pass as received, in runs copied straight from the buffer;
    // only the line "." that ends the block is looked for. Text gathered
    // when the source fails is dropped: the receiver never sees a block
    // that ends early as if it had ended.
    for (;;) {
        if (LostToOthers(fromSlot, from, buffer)) return;
        std::string_view unread = buffer.Unread();
        size_t lineStart = 0;
        for (;;) {
            size_t end = unread.find('\n', lineStart);
            if (end == std::string_view::npos) break;
            if (LineLength(unread, end) - lineStart == 1 && unread[lineStart] == '.') {
                pending.append(unread.substr(0, lineStart));
                pending += ".\r\n";
                buffer.offset += end + 1;
                SendText(toSlot, pending);
                return;
            }
            lineStart = end + 1;
        }
        pending.append(unread.substr(0, lineStart));
        buffer.offset += lineStart;
        if (pending.size() > kRelayBatchBytes) {
            SendText(toSlot, pending);
            pending.clear();
        }
        if (SessionTable[toSlot].failed) return;
        // What is already there is gathered; when the source has nothing
        // ready and must be waited for, the receiver first gets what has
        // gathered, unless it is too little to be worth a send of its own.
        auto sendBeforeWaiting = [&] {
            if (pending.size() <= kRelayEarlySendBytes) return;
            SendText(toSlot, pending);
            pending.clear();
        };
        if (!FillBuffer(fromSlot, from, buffer, start, sendBeforeWaiting)) return;
        from.countdown = from.timeoutSeconds.load();
    }
}

void SkipBlock(int slot) {
    if (!ValidSlot(slot)) return;
    std::string line;
    do {
        ReceiveLine(slot, line);
    } while (line != "." && !SessionTable[slot].failed);
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
