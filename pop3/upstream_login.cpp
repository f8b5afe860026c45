#include "pop3/upstream_login.h"

#include "codec/base64.h"
#include "core/log.h"
#include "core/text.h"
#include "net/connection.h"
#include "net/session_table.h"
#include "sasl/client.h"
#include "sasl/framed_exchange.h"

namespace {

// The service name of the POP3 profile of SASL (RFC 5034, section 4), which
// DIGEST-MD5 puts in front of the digest-uri (RFC 2831, 2.1.2: serv-type).
// Servers that check the digest-uri refuse any other name, "pop3" included.
constexpr std::string_view kSaslService = "pop";

// An AUTH command with its initial response is one command line, which RFC
// 2449 caps at 255 octets with its CR LF; a longer initial response waits
// for the server's empty challenge (RFC 5034, 4).
constexpr size_t kMaxCommandOctets = 255;

// Lines a server may send in its AUTH or CAPA list. Real servers send a
// dozen; a peer that never ends its list is not waited for without end.
constexpr size_t kMaxListLines = 1000;

constexpr std::string_view kEstablishedAuth = "POP3 Authentication established";
constexpr std::string_view kEstablishedUser = "POP3 Connection established";

// A lost link yields an empty reply, which fails both tests.
bool BeginsWithOk(std::string_view reply) {
    return StartsWith(reply, "+OK");
}
bool BeginsWithPlus(std::string_view reply) {
    return StartsWith(reply, "+");
}

// Returns the next reply line; "" when the link failed.
std::string ReplyLine(Connection& upstream) {
    std::string line;
    upstream.ReceiveLine(line);
    return line;
}

// The text of a "+ " continuation after its first two characters.
std::string ContinuationData(std::string_view reply) {
    return Base64Decode(reply.size() > 2 ? reply.substr(2) : std::string_view());
}

// Logs the server's refusal (its reply line) and returns 0.
int Refuse(int slot, const std::string& reply) {
    WriteLog(reply, slot, kLogError);
    return 0;
}

// Judges the final reply of an exchange: returns 1 and logs `established`
// when `accepted`, else refuses.
int Conclude(int slot, const std::string& reply, bool accepted, std::string_view established) {
    if (!accepted) return Refuse(slot, reply);
    WriteLog(established, slot, kLogOutcome);
    return 1;
}

// ---- SASL framing ----------------------------------------------------------

// AUTH and its "+ " continuations (RFC 5034), as the POP3 login has always
// read them.
class Pop3Framing final : public SaslFraming {
  public:
    // While the framing lives, the console echo hides the exchange's
    // challenges and responses.
    explicit Pop3Framing(Connection& upstream)
        : SaslFraming("AUTH", kMaxCommandOctets), upstream_(upstream) {
        upstream_.SetSaslExchange(true);
    }
    ~Pop3Framing() override { upstream_.SetSaslExchange(false); }
    Pop3Framing(const Pop3Framing&) = delete;
    Pop3Framing& operator=(const Pop3Framing&) = delete;

    void SendLine(std::string_view line) override { upstream_.SendLine(line); }

    // "+OK" ends the exchange only after a last response; after any other
    // response every "+" line, "+OK" included, goes on to the mechanism's
    // next step, as the POP3 login has always taken it.
    SaslReply Receive(SaslStatus sentAs) override {
        SaslReply reply;
        reply.line = ReplyLine(upstream_);
        if (sentAs == SaslStatus::kRespondLast && BeginsWithOk(reply.line)) {
            reply.kind = SaslReplyKind::kAccepted;
        } else if (BeginsWithPlus(reply.line)) {
            reply.kind = SaslReplyKind::kChallenge;
            reply.data = ContinuationData(reply.line);
        }
        return reply;
    }

    void Refused(std::string_view line, const SaslLogLine& mechanismText) override {
        if (mechanismText.text.empty()) {
            WriteLog(line, upstream_.slot(), kLogError);
        } else {
            WriteLog(mechanismText.text, upstream_.slot(), mechanismText.level);
        }
    }

    // The login just stops; the session's QUIT ends the exchange.
    void GiveUp() override {}

  private:
    Connection& upstream_;
};

// ---- Login methods ---------------------------------------------------------

struct LoginRequest {
    Connection& upstream;
    const std::string& account;
    const std::string& password;
    const std::string& method;
    const std::string& apopStamp;
    const std::string& host;
    int slot = upstream.slot();  // for the log
};

// Reads the lines of an AUTH or CAPA list up to its ".", logging each and
// handing it to `take`. Returns false when the link failed or the list had
// no end in sight.
template <typename Take>
bool ReadList(const LoginRequest& r, Take take) {
    return r.upstream.ReadBlock(kMaxListLines, [&](const std::string& line) {
        WriteLog(line, r.slot, kLogDebug);
        take(line);
        return true;
    });
}

// Logs in with the mechanism through AUTH. Returns 0 without sending
// anything when there is no mechanism. A token mechanism takes `password`
// as the access token (see UpstreamLogin).
int LoginWithMechanism(const LoginRequest& r, const SaslMechanism* mechanism) {
    if (mechanism == nullptr) return 0;
    if (mechanism->proof == SaslProof::kBearerToken) {
        return UpstreamSaslLogin(r.upstream, *mechanism, {r.account, "", r.password}, r.host);
    }
    return UpstreamSaslLogin(r.upstream, *mechanism, {r.account, r.password, ""}, r.host);
}

int LoginByAuthList(const LoginRequest& r) {
    r.upstream.SendLine("AUTH");
    const std::string reply = ReplyLine(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    if (!BeginsWithOk(reply)) return Refuse(r.slot, reply);
    std::string list;
    const bool complete = ReadList(r, [&list](const std::string& line) {
        list += line;
        list += '\b';
    });
    if (!complete) return 0;
    return LoginWithMechanism(r, PreferredSaslMechanism(list, SaslProof::kPassword));
}

// Chooses from the mechanisms of the CAPA command's SASL line.
int LoginByCapaList(const LoginRequest& r, SaslProof proof) {
    r.upstream.SendLine("CAPA");
    const std::string reply = ReplyLine(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    if (!BeginsWithOk(reply)) return 0;
    std::string list;
    const bool complete = ReadList(r, [&list](const std::string& line) {
        if (StartsWith(line, "SASL")) list = line.substr(4);
    });
    if (!complete) return 0;
    const SaslMechanism* mechanism = PreferredSaslMechanism(list, proof);
    // A server that takes no token at all is worth saying so: the user
    // set the account up for OAuth 2.0 and may have the wrong server.
    if (mechanism == nullptr && proof == SaslProof::kBearerToken) {
        WriteLog("The server offers no OAuth 2.0 login (XOAUTH2, OAUTHBEARER)", r.slot,
                 kLogFailure);
    }
    return LoginWithMechanism(r, mechanism);
}

int LoginByCapaPasswordList(const LoginRequest& r) {
    return LoginByCapaList(r, SaslProof::kPassword);
}

int LoginWithToken(const LoginRequest& r) {
    return LoginByCapaList(r, SaslProof::kBearerToken);
}

int LoginByMechanismName(const LoginRequest& r) {
    return LoginWithMechanism(r, FindSaslMechanism(r.method, SaslProof::kPassword));
}

int LoginWithApop(const LoginRequest& r) {
    WriteLog("Sending APOP", r.slot, kLogProgress);
    r.upstream.SendLine("APOP " + r.account + " " + ApopDigest(r.apopStamp, r.password));
    const std::string reply = ReplyLine(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    return Conclude(r.slot, reply, BeginsWithOk(reply), kEstablishedAuth);
}

int LoginWithUserPass(const LoginRequest& r) {
    // No account: the caller only wanted the connection.
    if (r.account.empty()) {
        WriteLog(kEstablishedUser, r.slot, kLogOutcome);
        return 1;
    }
    WriteLog("Sending USER", r.slot, kLogProgress);
    r.upstream.SendLine("USER " + r.account);
    std::string reply = ReplyLine(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    if (!BeginsWithOk(reply)) return Refuse(r.slot, reply);
    WriteLog("Sending PASS", r.slot, kLogProgress);
    r.upstream.SendLine("PASS " + r.password);
    reply = ReplyLine(r.upstream);
    WriteLog(reply, r.slot, kLogDebug);
    return Conclude(r.slot, reply, BeginsWithOk(reply), kEstablishedUser);
}

}  // namespace

struct Pop3LoginMethod {
    std::string_view name;  // upper case
    int (*login)(const LoginRequest&);
};

namespace {

constexpr Pop3LoginMethod kUserPass{"", LoginWithUserPass};

// Besides these, every mechanism of the SASL table is a method by its name.
constexpr Pop3LoginMethod kLoginMethods[] = {
    kUserPass,
    {"AUTH", LoginByAuthList},
    {"SASL", LoginByCapaPasswordList},
    {"APOP", LoginWithApop},
    {"OAUTH2", LoginWithToken},
};

constexpr Pop3LoginMethod kNamedMechanism{"", LoginByMechanismName};

}  // namespace

const Pop3LoginMethod* FindLoginMethod(std::string_view name) {
    const std::string wanted = UpperCase(name);
    for (const Pop3LoginMethod& entry : kLoginMethods) {
        if (entry.name == wanted) return &entry;
    }
    return FindSaslMechanism(name, SaslProof::kPassword) != nullptr ? &kNamedMechanism : nullptr;
}

int UpstreamLogin(Connection& upstream, const std::string& account, const std::string& password,
                  const std::string& method, const std::string& apopStamp,
                  const std::string& host) {
    if (!upstream.open()) return 0;
    try {
        const LoginRequest request{upstream, account, password, method, apopStamp, host};
        // An unknown method still means USER/PASS, as it always has; the
        // login-name parsing is where an unknown one can be refused.
        const Pop3LoginMethod* entry = FindLoginMethod(method);
        return (entry != nullptr ? entry : &kUserPass)->login(request);
    } catch (...) {
        return 0;
    }
}

int UpstreamSaslLogin(Connection& upstream, const SaslMechanism& mechanism,
                      const SaslCredentials& credentials, const std::string& host) {
    if (!upstream.open()) return 0;
    try {
        SaslExchange exchange;
        exchange.mechanism = &mechanism;
        exchange.credentials = credentials;
        exchange.service = kSaslService;
        exchange.host = host;
        exchange.port = SessionTable[upstream.slot()].port.load();
        Pop3Framing framing(upstream);
        if (!RunSaslExchange(exchange, framing, upstream.slot())) return 0;
        WriteLog(kEstablishedAuth, upstream.slot(), kLogOutcome);
        return 1;
    } catch (...) {
        return 0;
    }
}

bool ServerPipelines(Connection& upstream) {
    if (!upstream.open()) return false;
    upstream.SendLine("CAPA");
    const std::string reply = ReplyLine(upstream);
    WriteLog(reply, upstream.slot(), kLogDebug);
    if (!BeginsWithOk(reply)) return false;
    bool pipelines = false;
    const bool complete = upstream.ReadBlock(kMaxListLines, [&](const std::string& line) {
        WriteLog(line, upstream.slot(), kLogDebug);
        if (UpperCase(Field(line, 0)) == "PIPELINING") pipelines = true;
        return true;
    });
    return complete && pipelines;
}
