#include "nntp/upstream_login.h"

#include "codec/base64.h"
#include "core/log.h"
#include "core/text.h"
#include "net/session_table.h"
#include "sasl/framed_exchange.h"

namespace {

// The service name of the news profile of SASL (RFC 4643, 2.4), which
// DIGEST-MD5 puts in front of the digest-uri.
constexpr std::string_view kSaslService = "nntp";

// The method that takes the strongest mechanism the server lists.
constexpr std::string_view kListedMethod = "SASL";
// The OAuth 2.0 login: the password the session hands on is the access
// token, and the server's list chooses among the token mechanisms.
constexpr std::string_view kTokenMethod = "OAUTH2";

// RFC 3977, 3.1: a command line has at most 512 octets with its CR LF; an
// initial response that would make it longer waits for the server's empty
// challenge (RFC 4643, 2.4.2).
constexpr size_t kMaxCommandOctets = 512;

// Lines of a CAPABILITIES list; real servers send a dozen or two, and a
// peer that never ends its list is not waited for without end.
constexpr size_t kMaxCapabilityLines = 1000;

// RFC 4643, 2.4: the codes of AUTHINFO SASL's replies that go on.
constexpr std::string_view kContinue = "383";
constexpr std::string_view kAccepted = "281";
constexpr std::string_view kAcceptedWithData = "283";

// A client withdraws from a SASL exchange with this line (RFC 4643, 2.4.2).
constexpr std::string_view kCancel = "*";

// The reader's answers when the server offers no mechanism the proxy
// speaks, and when a server accepted without the proof its mechanism owes.
constexpr std::string_view kNoMechanism = "481 no usable SASL mechanism offered";
constexpr std::string_view kUnproven = "481 server authentication failed";

// Returns the next reply line; "" when the link failed.
std::string ReplyLine(Connection& server) {
    std::string line;
    server.ReceiveLine(line);
    return line;
}

// Logs a refusal that the reader will see, unless the link failed.
void LogRefusal(Connection& server, std::string_view line) {
    if (!line.empty()) WriteLog(line, server.slot(), kLogFailure);
}

// AUTHINFO SASL and its 383 continuations (RFC 4643, 2.4). Keeps the line
// the reader gets when the login fails.
class NewsFraming final : public SaslFraming {
  public:
    // While the framing lives, the console echo hides the exchange's
    // challenges and responses.
    NewsFraming(Connection& server, std::string& lastReply)
        : SaslFraming("AUTHINFO SASL", kMaxCommandOctets), server_(server), lastReply_(lastReply) {
        server_.SetSaslExchange(true);
    }
    ~NewsFraming() override { server_.SetSaslExchange(false); }
    NewsFraming(const NewsFraming&) = delete;
    NewsFraming& operator=(const NewsFraming&) = delete;

    void SendLine(std::string_view line) override { server_.SendLine(line); }

    // The data of 383 and 283 is the reply's second word.
    SaslReply Receive(SaslStatus) override {
        SaslReply reply;
        reply.line = ReplyLine(server_);
        const std::string code = Field(reply.line, 0);
        if (code == kContinue) {
            reply.kind = SaslReplyKind::kChallenge;
        } else if (code == kAccepted || code == kAcceptedWithData) {
            reply.kind = SaslReplyKind::kAccepted;
        } else {
            return reply;
        }
        reply.data = Base64Decode(Field(reply.line, 1));
        return reply;
    }

    void Refused(std::string_view line, const SaslLogLine& mechanismText) override {
        lastReply_ = std::string(line);
        if (mechanismText.text.empty()) {
            LogRefusal(server_, line);
        } else {
            WriteLog(mechanismText.text, server_.slot(), mechanismText.level);
        }
        // A challenge the mechanism does not answer leaves the server
        // waiting; the reader gets its answer to the withdrawal instead.
        if (Field(line, 0) == kContinue) GiveUp();
    }

    // The server answers the withdrawal with its refusal (481), which the
    // reader gets.
    void GiveUp() override {
        server_.SendLine(kCancel);
        lastReply_ = ReplyLine(server_);
        LogRefusal(server_, lastReply_);
    }

  private:
    Connection& server_;
    std::string& lastReply_;
};

// Returns the mechanism names of the server's CAPABILITIES SASL line ("" when
// it has none), or sets `lastReply` and returns false when the server
// refused the command or the link failed.
bool ListedMechanisms(Connection& server, std::string& list, std::string& lastReply) {
    server.SendLine("CAPABILITIES");
    const std::string reply = ReplyLine(server);
    WriteLog(reply, server.slot(), kLogDebug);
    if (!StartsWith(reply, "101")) {
        lastReply = reply;
        LogRefusal(server, reply);
        return false;
    }
    list.clear();
    const bool complete = server.ReadBlock(kMaxCapabilityLines, [&](const std::string& line) {
        WriteLog(line, server.slot(), kLogDebug);
        // Capability labels are not case-sensitive (RFC 3977, 3.3.1).
        if (UpperCase(Field(line, 0)) == kListedMethod) list = line.substr(kListedMethod.size());
        return true;
    });
    if (!complete) lastReply.clear();
    return complete;
}

bool Refuse(Connection& server, std::string_view line, std::string& lastReply) {
    lastReply = std::string(line);
    LogRefusal(server, line);
    return false;
}

// AUTHINFO USER, and PASS when the server asks for it (RFC 4643, 2.3).
bool LoginWithUserPass(Connection& server, const std::string& user, const std::string& password,
                       std::string& lastReply) {
    WriteLog("Sending AUTHINFO USER", server.slot(), kLogProgress);
    server.SendLine("AUTHINFO USER " + user);
    std::string reply = ReplyLine(server);
    if (StartsWith(reply, "281")) return true;
    if (StartsWith(reply, "381")) {
        WriteLog("Sending AUTHINFO PASS", server.slot(), kLogProgress);
        server.SendLine("AUTHINFO PASS " + password);
        reply = ReplyLine(server);
        if (StartsWith(reply, "281")) return true;
    }
    return Refuse(server, reply, lastReply);
}

}  // namespace

bool IsNewsLoginMethod(std::string_view name) {
    const std::string method = UpperCase(name);
    return method == kListedMethod || method == kTokenMethod ||
           FindSaslMechanism(name, SaslProof::kPassword) != nullptr;
}

bool UpstreamNewsLogin(Connection& server, std::string_view method, const std::string& user,
                       const std::string& password, const std::string& host,
                       std::string& lastReply) {
    lastReply.clear();
    if (user.empty()) return true;
    if (method.empty()) return LoginWithUserPass(server, user, password, lastReply);
    const SaslMechanism* mechanism = FindSaslMechanism(method, SaslProof::kPassword);
    const bool token = UpperCase(method) == kTokenMethod;
    if (mechanism == nullptr && (token || UpperCase(method) == kListedMethod)) {
        std::string list;
        if (!ListedMechanisms(server, list, lastReply)) return false;
        mechanism =
            PreferredSaslMechanism(list, token ? SaslProof::kBearerToken : SaslProof::kPassword);
        if (mechanism == nullptr) return Refuse(server, kNoMechanism, lastReply);
    }
    if (mechanism == nullptr) {
        return Refuse(server, "481 unknown login method " + std::string(method), lastReply);
    }
    if (token)
        return UpstreamAuthinfoSasl(server, *mechanism, {user, "", password}, host, lastReply);
    return UpstreamAuthinfoSasl(server, *mechanism, {user, password, ""}, host, lastReply);
}

bool UpstreamAuthinfoSasl(Connection& server, const SaslMechanism& mechanism,
                          const SaslCredentials& credentials, const std::string& host,
                          std::string& lastReply) {
    lastReply.clear();
    SaslExchange exchange;
    exchange.mechanism = &mechanism;
    exchange.credentials = credentials;
    exchange.service = kSaslService;
    exchange.host = host;
    exchange.port = SessionTable[server.slot()].port.load();
    NewsFraming framing(server, lastReply);
    if (RunSaslExchange(exchange, framing, server.slot())) return true;
    // Only a success the mechanism refused leaves no line of the server's.
    if (lastReply.empty() && !server.LinkFailed()) lastReply = kUnproven;
    return false;
}
