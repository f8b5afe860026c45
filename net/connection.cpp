#include "net/connection.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "core/log.h"
#include "core/secret_text.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/socket.h"

namespace {

constexpr int kSendErrorPauseMs = 10;    // after a failed send, before returning
constexpr int kReceiveErrorPauseMs = 1;  // after a receive error that is retried
constexpr int64_t kMillisecondsPerSecond = 1000;
// The clock is read again at least this often while waiting, so that a
// time-out follows a clock set by tests.
constexpr int kWaitSliceMs = 250;

// A connection that speaks TLS hands out a record's plaintext at most per
// read; asking for a whole record empties it in one call.
constexpr size_t kTlsReceiveChunkBytes = 16 * 1024;

std::atomic<HostResolver> hostResolver{nullptr};

bool Resolve(const std::string& name, std::vector<IpAddress>& addresses,
             std::string& canonicalName) {
    HostResolver resolver = hostResolver.load();
    return resolver != nullptr ? resolver(name, addresses, canonicalName)
                               : ResolveHostName(name, addresses, canonicalName);
}

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
// longer than one slice; -1 (no limit) when there is no time-out.
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
// cursor or retitle the window, so they are shown as dots; and people look
// at that terminal, so secrets are not shown at all.
void EchoLine(int slot, std::string_view marker, std::string_view text, bool inSaslExchange) {
    std::string echo = std::to_string(slot);
    echo += marker;
    for (char c : ShownLine(text, inSaslExchange)) {
        unsigned char byte = static_cast<unsigned char>(c);
        echo += (byte < 0x20 && byte != '\t') || byte == 0x7F ? '.' : c;
    }
    ConsoleWriteLine(echo);
}

WaitOutcome WaitForStep(int socket, const TlsResult& step, int timeoutMs) {
    return step.waitWritable ? WaitWritable(socket, timeoutMs) : WaitReadable(socket, timeoutMs);
}

// One send on the connection's socket, through its TLS channel when it has one.
TlsResult SendSome(TlsChannel* tls, int socket, const char* data, size_t size) {
    if (tls != nullptr) return tls->Write(data, size);
    TlsResult plain;
    plain.io = SendBytes(socket, data, size);
    plain.waitWritable = true;
    return plain;
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

// One receive on the socket, appended to `buffer`. The bytes are received
// (or, over TLS, decrypted) straight into the buffer; the TLS library's own
// buffer is emptied before the socket is waited for again, since every wait
// follows a read that asked for it.
TlsResult ReceiveSome(TlsChannel* tls, int socket, ReceiveBuffer& buffer) {
    Compact(buffer);
    std::string& bytes = buffer.bytes;
    size_t kept = bytes.size();
    TlsResult step;
    if (tls != nullptr) {
        bytes.resize(kept + kTlsReceiveChunkBytes);
        step = tls->Read(bytes.data() + kept, kTlsReceiveChunkBytes);
    } else {
        bytes.resize(kept + kReceiveChunkBytes);
        step.io = ReceiveBytes(socket, bytes.data() + kept, kReceiveChunkBytes);
    }
    bytes.resize(kept + static_cast<size_t>(std::max(step.io.count, 0L)));
    return step;
}

// Returns the length of the line that ends at `end` (an LF) without its line
// end: only a CR directly before the LF belongs to the line end.
size_t LineLength(std::string_view unread, size_t end) {
    return end > 0 && unread[end - 1] == '\r' ? end - 1 : end;
}

void LogClose(bool closed, int slot) {
    if (closed) {
        WriteLog("Socket closed", slot, kLogNotice);
    } else {
        WriteLog("Socket already closed", slot, kLogFailure);
    }
}

}  // namespace

// The monotonic clock reading a wait measures its time-out from; ElapsedMs
// takes it at its first call. It is read only when a wait is needed: a line
// that is already buffered costs no clock reading.
struct Connection::WaitStart {
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

Connection::~Connection() {
    Release();
}

Connection::Connection(Connection&& other) noexcept
    : slot_(std::exchange(other.slot_, 0)),
      buffer_(std::exchange(other.buffer_, {})),
      tls_(std::move(other.tls_)),
      failed_(std::exchange(other.failed_, false)),
      saslExchange_(std::exchange(other.saslExchange_, false)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        Release();
        slot_ = std::exchange(other.slot_, 0);
        buffer_ = std::exchange(other.buffer_, {});
        tls_ = std::move(other.tls_);
        failed_ = std::exchange(other.failed_, false);
        saslExchange_ = std::exchange(other.saslExchange_, false);
    }
    return *this;
}

Connection Connection::ConnectTo(const std::string& hostText, int port, const AddressGate& admits) {
    bool wasFree = false;
    int slot = AllocateSlot(wasFree);
    std::string host = hostText.substr(0, kHostNameLimit);
    std::string portText = NumberText(port);
    if (!wasFree) {
        // Every entry, the overflow entry included, belongs to someone else:
        // there is nothing to connect into and nothing to give back.
        WriteLog("Failed connection to '" + host + "'  Port:" + portText, slot, kLogFailure);
        return Connection();
    }

    std::vector<IpAddress> addresses(1);
    std::string official;
    const bool named = !ParseHostAddress(host, addresses[0]);
    if (named && !Resolve(host, addresses, official)) {
        WriteLog("'" + host + "' not found!", slot, kLogError);
        ReleaseSlot(slot);
        return Connection();
    }
    if (admits && !admits(addresses)) {
        ReleaseSlot(slot);
        return Connection();
    }

    SocketHandle socket;
    IpAddress connected;
    for (const IpAddress& address : addresses) {
        // A name shows with the address tried, so that the log tells which
        // of its addresses failed and which served.
        std::string display = named ? official + " (" + IpAddressText(address) + ")" : host;
        socket = SocketHandle(OpenTcpSocket(address.family));
        if (!socket.valid()) {
            WriteLog("Can't open a socket!", slot, kLogError);
            continue;
        }
        SetNoDelay(socket.get());
        if (!ConnectSocket(socket.get(), address, port, kConnectTimeoutMs)) {
            WriteLog("Failed connection to '" + display + "'  Port:" + portText, slot, kLogFailure);
            socket.Reset();
            continue;
        }
        WriteLog("Outgoing connection to '" + display + "'  Port:" + portText, slot,
                 kLogConnection);
        connected = address;
        break;
    }
    if (!socket.valid()) {
        ReleaseSlot(slot);
        return Connection();
    }
    SetNonBlocking(socket.get(), true);

    SessionSlot& entry = SessionTable[slot];
    SetSlotAddress(slot, connected);
    entry.port = port;
    entry.timeoutSeconds = 0;
    entry.countdown = 0;
    AttachSocket(slot, socket.Release());
    entry.state = SlotState::kUpstream;  // last: the watchdog and the console see a complete entry
    return Connection(slot);
}

Connection Connection::Accepted(int slot, int socket, const IpAddress& address, int port,
                                int timeoutSeconds) {
    if (!ValidSlot(slot)) {
        CloseSocket(socket);
        return Connection();
    }
    SessionSlot& entry = SessionTable[slot];
    SetSlotAddress(slot, address);
    entry.port = port;
    entry.timeoutSeconds = timeoutSeconds;
    // A reused entry keeps the last session's countdown; a stale 1 would let
    // the watchdog kill the new client before its first exchange.
    entry.countdown = timeoutSeconds;
    AttachSocket(slot, socket);
    return Connection(slot);
}

void Connection::SetTimeout(int seconds) {
    if (!open()) return;
    SessionTable[slot_].timeoutSeconds = seconds;
    SessionTable[slot_].countdown = seconds;
}

void Connection::KeepAlive() {
    if (!open()) return;
    SessionTable[slot_].countdown = SessionTable[slot_].timeoutSeconds.load();
}

void Connection::SendLine(std::string_view text) {
    if (!open()) return;
    std::string line(text);
    line += "\r\n";
    SendText(line);
}

void Connection::SendText(std::string_view text) {
    if (!open()) return;
    SessionSlot& entry = SessionTable[slot_];
    WaitStart start;
    int timeout = entry.timeoutSeconds;
    entry.countdown = timeout;

    if (CurrentSettings().DebugLine) {
        std::string_view shown = text;
        if (shown.size() >= 2 && shown.substr(shown.size() - 2) == "\r\n") {
            shown.remove_suffix(2);  // the console line brings its own line end
        }
        EchoLine(slot_, ">:", shown, saslExchange_);
    }

    bool error = false;
    if (entry.closedByOther) {
        // The watchdog or the operator closed this connection.
        WriteLog("Send_No_Socket", slot_, kLogDebug);
        failed_ = true;
        error = true;
    }
    int socket = entry.socket;
    size_t sent = 0;
    while (!error && sent < text.size()) {
        TlsResult step = SendSome(tls_.get(), socket, text.data() + sent, text.size() - sent);
        const SocketResult& result = step.io;
        if (result.count >= 0) {
            sent += static_cast<size_t>(result.count);
            continue;
        }
        if (result.condition == SocketCondition::kWouldBlock) {
            WriteLog("Send_Empty", slot_, kLogDebug);
            int64_t elapsed = start.ElapsedMs();
            if (TimedOut(timeout, elapsed)) {
                WriteLog("Send_Socket_Timeout", slot_, kLogDebug);
                failed_ = true;
                error = true;
            } else {
                WaitForStep(socket, step, NextWaitMs(timeout, elapsed));
            }
            continue;
        }
        if (!step.failure.empty()) {
            WriteLog("Send_Tls_Error: " + step.failure, slot_, kLogDebug);
        } else {
            WriteLog(FailureText(kSendFailures, result, "Send_Unknown"), slot_, kLogDebug);
        }
        failed_ = true;
        error = true;
    }
    if (error) SleepMilliseconds(kSendErrorPauseMs);
}

// Returns true, and marks the link failed, when the watchdog or the operator
// closed it: what was received before belongs to a dead connection. Dropping
// it here, in the owner's thread, keeps the buffer valid while the owner was
// reading it.
bool Connection::LostToOthers() {
    if (!SessionTable[slot_].closedByOther) return false;
    buffer_.clear();
    WriteLog("Line_Conn_Abort", slot_, kLogDebug);
    failed_ = true;
    return true;
}

// Receives more bytes into the buffer, waiting for them when none are ready.
// Returns false once the link is marked failed (its buffer is then dropped
// when the watchdog or the operator closed it).
template <typename BeforeWait>
bool Connection::FillBuffer(WaitStart& start, BeforeWait&& beforeWait) {
    if (LostToOthers()) return false;
    if (buffer_.bytes.size() - buffer_.offset > kMaxPendingBytes) {
        buffer_.clear();
        WriteLog("Line too long, connection dropped", slot_, kLogFailure);
        failed_ = true;
        return false;
    }
    SessionSlot& entry = SessionTable[slot_];
    int timeout = entry.timeoutSeconds;
    int socket = entry.socket;
    TlsResult step = ReceiveSome(tls_.get(), socket, buffer_);
    const SocketResult& result = step.io;
    if (result.count > 0) {
        return true;
    } else if (result.count == 0) {
        // The peer closed; or the watchdog or the operator did, which the
        // next round reports.
        if (!entry.closedByOther) failed_ = true;
    } else if (result.condition == SocketCondition::kWouldBlock) {
        if (CurrentSettings().DebugLine) WriteLog("Line_Buffer_Empty", slot_, kLogDebug);
        beforeWait();
        // Data that arrives is handed out at once; only a wait that ends
        // without data looks at the time-out.
        int waitMs = NextWaitMs(timeout, start.ElapsedMs());
        if (WaitForStep(socket, step, waitMs) != WaitOutcome::kReady &&
            TimedOut(timeout, start.ElapsedMs())) {
            WriteLog("Line_Socket_Timeout", slot_, kLogDebug);
            failed_ = true;
        }
    } else if (result.condition == SocketCondition::kMessageTooLong) {
        WriteLog("Buffer too small", slot_, kLogDebug);
        SleepMilliseconds(kReceiveErrorPauseMs);
    } else if (!step.failure.empty()) {
        WriteLog("Line_Tls_Error: " + step.failure, slot_, kLogDebug);
        failed_ = true;
    } else {
        WriteLog(FailureText(kReceiveFailures, result, "Line_Unknown:"), slot_, kLogDebug);
        failed_ = true;
    }
    return !(failed_ && !entry.closedByOther);
}

bool Connection::HasBufferedLine() const {
    return open() && buffer_.Unread().find('\n') != std::string_view::npos;
}

bool Connection::AwaitLine(int waitMs) {
    if (!open()) return false;
    const int64_t startMs = MonotonicMilliseconds();
    for (;;) {
        if (HasBufferedLine()) return true;
        if (failed_ || LostToOthers()) return false;
        // Bytes the TLS library holds already make the socket look idle; a
        // line grown past its limit is cut off by FillBuffer without a wait.
        bool overlong = buffer_.Unread().size() > kMaxPendingBytes;
        if (!overlong && (tls_ == nullptr || !tls_->HasPending())) {
            int64_t left = waitMs - (MonotonicMilliseconds() - startMs);
            if (left <= 0) return false;
            int slice = static_cast<int>(std::min<int64_t>(kWaitSliceMs, left));
            if (WaitReadable(SessionTable[slot_].socket, slice) == WaitOutcome::kTimedOut) continue;
        }
        WaitStart start;
        if (!FillBuffer(start, [] {})) return false;
    }
}

void Connection::ReceiveLine(std::string& line) {
    if (!open()) return;
    KeepAlive();
    WaitStart start;
    size_t searched = 0;  // leading unread bytes known to hold no LF

    for (;;) {
        if (LostToOthers()) break;
        std::string_view unread = buffer_.Unread();
        size_t end = unread.find('\n', searched);
        if (end != std::string_view::npos) {
            line.assign(unread.substr(0, LineLength(unread, end)));
            buffer_.offset += end + 1;
            if (CurrentSettings().DebugLine) EchoLine(slot_, "<:", line, saslExchange_);
            return;
        }
        searched = unread.size();
        size_t before = buffer_.offset;
        if (!FillBuffer(start, [] {})) break;
        // Compacting moved the unread bytes to the front; the search resumes
        // where it stopped.
        if (buffer_.offset != before) searched = std::min(searched, buffer_.Unread().size());
    }
    line.clear();
}

// The relay of one line at a time, each line received and sent with a CR LF.
void Connection::RelayBlockByLines(Connection& to, std::string_view leadLine) {
    std::string pending;
    if (!leadLine.empty()) {
        pending.append(leadLine);
        pending += "\r\n";
    }
    std::string line;
    for (;;) {
        ReceiveLine(line);
        if (failed_) return;
        if (line == ".") {
            pending += ".\r\n";
            to.SendText(pending);
            return;
        }
        pending += line;
        pending += "\r\n";
        if (pending.size() > kRelayBatchBytes) {
            to.SendText(pending);
            pending.clear();
        }
        if (to.failed_) return;
    }
}

void Connection::RelayBlockTo(Connection& to, std::string_view leadLine) {
    if (!open() || !to.open()) return;
    if (CurrentSettings().DebugLine) {
        // Line by line, so that every relayed line is echoed.
        if (!leadLine.empty()) EchoLine(to.slot_, ">:", leadLine, to.saslExchange_);
        RelayBlockByLines(to, leadLine);
        return;
    }
    KeepAlive();
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
        if (LostToOthers()) return;
        std::string_view unread = buffer_.Unread();
        size_t lineStart = 0;
        for (;;) {
            size_t end = unread.find('\n', lineStart);
            if (end == std::string_view::npos) break;
            if (LineLength(unread, end) - lineStart == 1 && unread[lineStart] == '.') {
                pending.append(unread.substr(0, lineStart));
                pending += ".\r\n";
                buffer_.offset += end + 1;
                to.SendText(pending);
                return;
            }
            lineStart = end + 1;
        }
        pending.append(unread.substr(0, lineStart));
        buffer_.offset += lineStart;
        if (pending.size() > kRelayBatchBytes) {
            to.SendText(pending);
            pending.clear();
        }
        if (to.failed_) return;
        // What is already there is gathered; when the source has nothing
        // ready and must be waited for, the receiver first gets what has
        // gathered, unless it is too little to be worth a send of its own.
        auto sendBeforeWaiting = [&] {
            if (pending.size() <= kRelayEarlySendBytes) return;
            to.SendText(pending);
            pending.clear();
        };
        if (!FillBuffer(start, sendBeforeWaiting)) return;
        KeepAlive();
    }
}

void Connection::SkipBlock() {
    if (!open()) return;
    std::string line;
    do {
        ReceiveLine(line);
    } while (line != "." && !failed_);
}

// Runs the handshake of the channel begun on the socket. Returns "" when it
// completed, else the reason it did not.
std::string Connection::Handshake() {
    SessionSlot& entry = SessionTable[slot_];
    const int socket = entry.socket;
    const int timeout = entry.timeoutSeconds;
    const char* const kShutDown = "connection shut down by the watchdog or the operator";
    KeepAlive();
    WaitStart start;
    for (;;) {
        if (entry.closedByOther) return kShutDown;
        TlsResult step = tls_->Handshake();
        if (step.io.count >= 0) return "";
        if (step.io.condition != SocketCondition::kWouldBlock) {
            // A shutdown from outside reads like the server hanging up; the
            // flag set before the shutdown tells which it was.
            if (entry.closedByOther) return kShutDown;
            return step.failure;
        }
        int64_t elapsed = start.ElapsedMs();
        if (timeout > 0 && elapsed >= timeout * kMillisecondsPerSecond) {
            return "no answer within the time-out";
        }
        WaitForStep(socket, step, NextWaitMs(timeout, elapsed));
    }
}

std::string Connection::SecureAsClient(const std::string& host, const TlsClientOptions& options) {
    if (!open()) return "no connection";
    buffer_.clear();
    tls_ = std::make_unique<TlsChannel>();
    std::string failure;
    if (tls_->Begin(SessionTable[slot_].socket, host, options, failure)) failure = Handshake();
    // No close_notify over a broken handshake.
    if (!failure.empty()) failed_ = true;
    return failure;
}

std::string Connection::SecureAsServer(const TlsServerOptions& options) {
    if (!open()) return "no connection";
    buffer_.clear();
    tls_ = std::make_unique<TlsChannel>();
    std::string failure;
    if (tls_->BeginServer(SessionTable[slot_].socket, options, failure)) failure = Handshake();
    if (!failure.empty()) failed_ = true;
    return failure;
}

std::string Connection::TlsDescription() const {
    return tls_ ? tls_->Description() : std::string();
}

bool Connection::Close() {
    if (!open()) return false;
    buffer_.clear();
    if (tls_) {
        // A close_notify tells the server that nothing was cut off; it is
        // owed only over a link that still works.
        tls_->End(!failed_ && !SessionTable[slot_].closedByOther);
        tls_.reset();
    }
    bool wasShutDown = false;
    int socket = DetachSocket(slot_, wasShutDown);
    // A connection the watchdog or the operator shut down was closed in
    // their eyes already; its number is given back here all the same.
    bool closed = CloseSocket(socket) && !wasShutDown;
    LogClose(closed, slot_);
    return closed;
}

void Connection::Release() {
    if (!open()) return;
    tls_.reset();  // ends the channel without notice to the peer
    ReleaseSlot(slot_);
    Forget();
}

void Connection::LeaveReserved() {
    Forget();
}

void Connection::Forget() {
    slot_ = 0;
    buffer_.clear();
    tls_.reset();
    failed_ = false;
    saslExchange_ = false;
}

bool CloseFromOutside(int slot) {
    if (!ValidSlot(slot)) return false;
    bool closed = ShutDownFromOutside(slot);
    LogClose(closed, slot);
    return closed;
}

void SetHostResolverForTesting(HostResolver resolver) {
    hostResolver = resolver;
}
