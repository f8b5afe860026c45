#include "net/upstream_connect.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"
#include "net/line_io.h"
#include "net/session_table.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/tls.h"

namespace {

// A server's line quoted in the log is cut here: it is the server's text,
// and a refusal needs no more to be understood.
constexpr size_t kLoggedLineLimit = 200;

struct ProtocolTexts {
    const char* modeKey;                      // the setting, for its log line
    const char* upgradeCommand;               // asks for TLS after the greeting
    std::string_view upgradeAccepted;         // the answer that lets TLS begin
    std::array<std::string_view, 2> serving;  // greetings of a server that serves
};

// Indexed by UpstreamProtocol.
constexpr std::array<ProtocolTexts, 2> kProtocols{{
    {"Pop3Tls", "STLS", "+OK", {"+OK", "+OK"}},
    {"NntpTls", "STARTTLS", "382", {"200", "201"}},
}};

TlsMode ModeOf(UpstreamProtocol protocol) {
    return protocol == UpstreamProtocol::kPop3 ? Settings.Pop3Tls : Settings.NntpTls;
}

bool Serves(const ProtocolTexts& texts, std::string_view greeting) {
    for (std::string_view code : texts.serving) {
        if (StartsWith(greeting, code)) return true;
    }
    return false;
}

// The server's line as the log shows it; a link that ended gave none.
std::string QuotedLine(int slot, const std::string& line) {
    if (SessionTable[slot].failed) return "connection lost";
    return line.substr(0, kLoggedLineLimit);
}

// Logs why TLS did not come about, then closes and gives back the slot
// without another byte to the server.
int GiveUp(int slot, const std::string& reason) {
    WriteLog(reason, slot, kLogError);
    CloseSlot(slot);
    ReleaseSlot(slot);
    return kUpstreamTlsFailed;
}

// Runs the TLS handshake on the slot's connection for `host`, waiting for
// the socket as the library asks, up to the slot's time-out (without limit
// when it is 0); a shut-down by the watchdog or the operator ends it too.
// Returns "" when TLS is established, else the reason it is not.
std::string Handshake(int slot, const std::string& host) {
    SessionSlot& entry = SessionTable[slot];
    const int socket = entry.socket;
    const int timeout = entry.timeoutSeconds;
    std::string failure;
    TlsClientOptions options;
    options.verify = Settings.TlsVerify;
    options.caFile = Settings.TlsCaFile;
    if (!entry.tls.Begin(socket, host, options, failure)) return failure;

    entry.countdown = timeout;
    const int64_t start = MonotonicMilliseconds();
    for (;;) {
        if (entry.closedByOther) return "connection shut down by the watchdog or the operator";
        TlsResult step = entry.tls.Handshake();
        if (step.io.count >= 0) return "";
        if (step.io.condition != SocketCondition::kWouldBlock) {
            // A shutdown from outside reads like the server hanging up; the
            // flag set before the shutdown tells which it was.
            if (entry.closedByOther) return "connection shut down by the watchdog or the operator";
            return step.failure;
        }
        int waitMs = -1;
        if (timeout > 0) {
            int64_t left = int64_t{timeout} * 1000 - (MonotonicMilliseconds() - start);
            if (left <= 0) return "no answer within the time-out";
            waitMs = static_cast<int>(left);
        }
        if (step.waitWritable) {
            WaitWritable(socket, waitMs);
        } else {
            WaitReadable(socket, waitMs);
        }
    }
}

// Establishes TLS on a connected slot; returns the slot, or kUpstreamTlsFailed
// after giving it up.
int SecureSlot(int slot, const std::string& host) {
    std::string failure = Handshake(slot, host);
    if (!failure.empty()) {
        SessionTable[slot].failed = 1;  // no close_notify over a broken handshake
        return GiveUp(slot, "TLS handshake failed: " + failure);
    }
    WriteLog("TLS established: " + SessionTable[slot].tls.Description(), slot, kLogConnection);
    return slot;
}

}  // namespace

int ConnectUpstream(const std::string& host, int port, UpstreamProtocol protocol,
                    int timeoutSeconds, std::string& greeting) {
    greeting.clear();
    const ProtocolTexts& texts = kProtocols[static_cast<size_t>(protocol)];
    const TlsMode mode = ModeOf(protocol);
    if (mode != TlsMode::kOff && mode != TlsMode::kUpgrade && mode != TlsMode::kImplicit) {
        WriteLog(std::string(texts.modeKey) + " names no TLS mode, no connection made", -1,
                 kLogError);
        return kUpstreamTlsFailed;
    }

    const int slot = ConnectToServer(host, port);
    if (slot <= 0) return kUpstreamConnectFailed;
    SessionSlot& entry = SessionTable[slot];
    entry.timeoutSeconds = timeoutSeconds;
    entry.countdown = timeoutSeconds;
    // The name the certificate must carry is the one the user gave, as far
    // as the connect used it.
    const std::string checkedHost = host.substr(0, kHostNameLimit);

    if (mode == TlsMode::kImplicit && SecureSlot(slot, checkedHost) != slot)
        return kUpstreamTlsFailed;

    ReceiveLine(slot, greeting);
    if (mode != TlsMode::kUpgrade) return slot;

    // The upgrade: only over a server that greeted as serving, and TLS only
    // after its consent. Nothing else is sent in plaintext.
    std::string refused = std::string(texts.upgradeCommand) + " refused: ";
    if (entry.failed || !Serves(texts, greeting)) {
        return GiveUp(slot, refused + QuotedLine(slot, greeting));
    }
    SendLine(slot, texts.upgradeCommand);
    std::string reply;
    ReceiveLine(slot, reply);
    if (entry.failed || !StartsWith(reply, texts.upgradeAccepted)) {
        return GiveUp(slot, refused + QuotedLine(slot, reply));
    }
    // Whatever followed the consent arrived in plaintext: it must not be
    // read later as if it had come over TLS (an injected reply).
    ReceiveBuffers[slot].clear();
    return SecureSlot(slot, checkedHost);
}
