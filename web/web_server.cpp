#include "web/web_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "codec/code_page.h"
#include "core/log.h"
#include "core/text.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "web/assets.h"
#include "web/chart.h"
#include "web/pages.h"
#include "web/request_origin.h"
#include "web/secrets.h"
#include "web/sessions.h"
#include "web/text_for_html.h"

namespace {

// A browser opens up to six connections to one host, and each holds a worker
// while it is kept alive; two more keep a second tab from waiting.
constexpr size_t kWorkerThreads = 8;
// The largest request body: a pasted message or a kill file. Larger is no
// page's business, and the body is held in memory whole.
constexpr size_t kMaxRequestBytes = 8 * 1024 * 1024;
// How long Start waits for the listening thread to run; only reached when
// the system cannot start a thread in time.
constexpr int kStartWaitMs = 5000;
constexpr int kStartPollMs = 1;
constexpr size_t kTopRuleCount = 10;
constexpr int kWeekDays = 7;
constexpr std::string_view kCookiePrefix = "trawlbox-";

// Headers on every response, refusals and errors included.
const httplib::Headers kSecurityHeaders = {
    {"Content-Security-Policy",
     "default-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'; "
     "object-src 'none'"},
    {"X-Frame-Options", "DENY"},
    // Not no-referrer: with that, a browser sends "Origin: null" on the
    // page's own forms, and the same-origin check could not tell them apart
    // from a sandboxed stranger's.
    {"Referrer-Policy", "same-origin"},
    {"X-Content-Type-Options", "nosniff"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
    {"Cross-Origin-Opener-Policy", "same-origin"},
    // Pages hold mail; no copy of them belongs in a cache.
    {"Cache-Control", "no-store"},
};

enum class Access {
    kOpen,    // the style sheet and the script: nothing secret, no session
    kSignIn,  // the sign-in form: a session, not yet signed in
    kMember,  // everything else: a signed-in session (any session without a password)
};

}  // namespace

namespace {

// One listening socket of the page, and the thread that serves it.
struct WebListener {
    std::string url;  // "http://ADDRESS:PORT/", IPv6 in brackets
    httplib::Server server;
    std::thread thread;
};

}  // namespace

struct WebServerState {
    const WebProvider& provider;
    std::string address;
    int port = 0;
    StoredPassword password;
    PageAuthority authority;
    std::string cookieName;
    SessionStore sessions;
    LoginThrottle throttle;
    // The configured address first; then the other family's loopback
    // address where the configured one is a loopback address.
    std::vector<std::unique_ptr<WebListener>> listeners;

    WebServerState(const WebProvider& provider, std::string address, int port,
                   StoredPassword password)
        : provider(provider),
          address(address),
          port(port),
          password(std::move(password)),
          authority(address, port),
          cookieName(std::string(kCookiePrefix) + std::to_string(port)) {}
};

namespace {

// One request on its way through the checks to its page.
struct Exchange {
    WebServerState& state;
    const httplib::Request& request;
    httplib::Response& response;
    SessionView session;
};

using RouteHandler = void (*)(Exchange& exchange);

struct Route {
    std::string_view method;
    std::string_view path;
    Access access;
    RouteHandler handler;
};

int64_t Now() {
    return MonotonicMilliseconds();
}

void LogWeb(const std::string& text, int level) {
    WriteLog("Web page: " + text, -1, level);
}

void SendHtml(Exchange& exchange, int status, const std::string& html) {
    exchange.response.status = status;
    exchange.response.set_content(html, "text/html; charset=utf-8");
}

void Redirect(Exchange& exchange, const std::string& path) {
    exchange.response.status = 303;
    exchange.response.set_header("Location", path);
}

void Refuse(const httplib::Request& request, httplib::Response& response, int status,
            std::string_view why) {
    LogWeb("refused " + request.method + " from " + request.remote_addr + ": " + std::string(why),
           kLogFailure);
    response.status = status;
    response.set_content(PlainPage(PageFrame(), "Refused", why), "text/html; charset=utf-8");
    response.set_header("Connection", "close");
}

// The values of a form field sent in a POST body (URL-encoded or multipart).
// A POST with a query is refused before, so none of these came from the URL.
std::vector<std::string> FormValues(const httplib::Request& request, const std::string& name) {
    std::vector<std::string> values;
    if (request.is_multipart_form_data()) {
        auto [first, last] = request.files.equal_range(name);
        for (auto it = first; it != last; ++it) values.push_back(it->second.content);
    } else {
        auto [first, last] = request.params.equal_range(name);
        for (auto it = first; it != last; ++it) values.push_back(it->second);
    }
    return values;
}

std::string FormValue(const httplib::Request& request, const std::string& name) {
    std::vector<std::string> values = FormValues(request, name);
    return values.empty() ? std::string() : values.front();
}

std::string CookieValue(const httplib::Request& request, std::string_view name) {
    for (size_t i = 0; i < request.get_header_value_count("Cookie"); ++i) {
        const std::string header = request.get_header_value("Cookie", i);
        std::string_view cookies = header;
        while (!cookies.empty()) {
            size_t end = cookies.find(';');
            std::string_view pair = cookies.substr(0, end);
            cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
            while (pair.starts_with(' ')) pair.remove_prefix(1);
            if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
                return std::string(pair.substr(name.size() + 1));
            }
        }
    }
    return "";
}

bool TokenMatches(const std::string& sent, const std::string& token) {
    return !token.empty() && sent.size() == token.size() &&
           CRYPTO_memcmp(sent.data(), token.data(), token.size()) == 0;
}

void SetSessionCookie(Exchange& exchange, const std::string& id) {
    exchange.response.set_header(
        "Set-Cookie", exchange.state.cookieName + "=" + id + "; Path=/; HttpOnly; SameSite=Strict");
}

// Starts a session for the exchange and sends its cookie; false (with a
// page saying so) when no random name could be made.
bool StartSession(Exchange& exchange, bool signedIn) {
    std::optional<SessionView> session = exchange.state.sessions.Start(signedIn, Now());
    if (!session) {
        SendHtml(exchange, 500,
                 PlainPage(PageFrame(), "No session", "No random session name could be made."));
        return false;
    }
    exchange.session = *session;
    SetSessionCookie(exchange, session->id);
    return true;
}

PageFrame FrameFor(Exchange& exchange, PageTab tab) {
    PageFrame frame;
    frame.tab = tab;
    frame.token = exchange.session.token;
    frame.signOut = exchange.state.password.IsSet() && exchange.session.signedIn;
    frame.notice = exchange.state.sessions.TakeNotice(exchange.session.id);
    return frame;
}

void NotAvailable(Exchange& exchange, PageTab tab) {
    SendHtml(exchange, 404,
             PlainPage(FrameFor(exchange, tab), "Not available",
                       "This part of the page is not available in this build."));
}

// --- The pages ---------------------------------------------------------------

void ServeStyle(Exchange& exchange) {
    exchange.response.set_content(kStyleSheet.data(), kStyleSheet.size(),
                                  "text/css; charset=utf-8");
}

void ServeIcon(Exchange& exchange) {
    exchange.response.set_content(kIcon.data(), kIcon.size(), "image/svg+xml");
}

void ServeScript(Exchange& exchange) {
    exchange.response.set_content(kRefreshScript.data(), kRefreshScript.size(),
                                  "text/javascript; charset=utf-8");
}

void ServeOverview(Exchange& exchange) {
    const WebProvider& provider = exchange.state.provider;
    std::vector<std::string> days = LastDays(LocalNow(), kChartDays);
    OverviewData data;
    if (provider.dailyFigures) data.days = FiguresOfDays(days, provider.dailyFigures(days.front()));
    if (provider.topRules) {
        data.topRules = provider.topRules(days[days.size() - kWeekDays], kTopRuleCount);
    }
    if (provider.liveSessions) data.sessions = provider.liveSessions();
    if (provider.status) {
        data.status = provider.status();
        data.status->versions.push_back({"cpp-httplib", CPPHTTPLIB_VERSION});
    }
    SendHtml(exchange, 200, OverviewPage(FrameFor(exchange, PageTab::kOverview), data));
}

void ServeQuarantine(Exchange& exchange) {
    KeptQuery query;
    query.text = Utf8ToOem(Trim(exchange.request.get_param_value("q")));
    query.account = Utf8ToOem(exchange.request.get_param_value("account"));
    query.limit = kQuarantineRows;
    std::optional<KeptList> list;
    if (exchange.state.provider.quarantine) list = exchange.state.provider.quarantine(query);
    SendHtml(exchange, 200, QuarantinePage(FrameFor(exchange, PageTab::kQuarantine), query, list));
}

void ServeMessage(Exchange& exchange) {
    const WebProvider& provider = exchange.state.provider;
    if (!provider.quarantinedMessage) return NotAvailable(exchange, PageTab::kQuarantine);
    std::optional<QuarantinedMessage> message =
        provider.quarantinedMessage(Utf8ToOem(exchange.request.get_param_value("id")));
    if (!message) {
        SendHtml(exchange, 404,
                 PlainPage(FrameFor(exchange, PageTab::kQuarantine), "No such message",
                           "No kept message has this id; it may have been released or "
                           "deleted meanwhile."));
        return;
    }
    SendHtml(exchange, 200, MessagePage(FrameFor(exchange, PageTab::kQuarantine), *message));
}

// Keeps the outcome for the next page and goes back to the list, so that
// reloading that page does not post again.
void AfterQuarantineChange(Exchange& exchange, const QuarantineOutcome& outcome,
                           std::string_view doneText) {
    Notice notice{!outcome.done,
                  outcome.message.empty() ? std::string(doneText) : OemToUtf8(outcome.message)};
    exchange.state.sessions.SetNotice(exchange.session.id, notice);
    Redirect(exchange, "/quarantine");
}

void Release(Exchange& exchange) {
    if (!exchange.state.provider.release) return NotAvailable(exchange, PageTab::kQuarantine);
    std::vector<std::string> ids;
    for (const std::string& id : FormValues(exchange.request, "id")) ids.push_back(Utf8ToOem(id));
    QuarantineOutcome outcome{false, "Nothing was chosen to release."};
    if (!ids.empty()) outcome = exchange.state.provider.release(ids);
    LogWeb("release of " + std::to_string(ids.size()) + (outcome.done ? " done" : " failed"),
           outcome.done ? kLogNotice : kLogFailure);
    AfterQuarantineChange(exchange, outcome, "Released.");
}

void Delete(Exchange& exchange) {
    if (!exchange.state.provider.remove) return NotAvailable(exchange, PageTab::kQuarantine);
    std::string id = Utf8ToOem(FormValue(exchange.request, "id"));
    QuarantineOutcome outcome{false, "Nothing was chosen to delete."};
    if (!id.empty()) outcome = exchange.state.provider.remove(id);
    LogWeb(std::string("delete ") + (outcome.done ? "done" : "failed"),
           outcome.done ? kLogNotice : kLogFailure);
    AfterQuarantineChange(exchange, outcome, "Deleted.");
}

void ServeTester(Exchange& exchange) {
    SendHtml(
        exchange, 200,
        TesterPage(FrameFor(exchange, PageTab::kTester),
                   static_cast<bool>(exchange.state.provider.judge), TesterForm(), std::nullopt));
}

// Judging changes nothing; it is a POST because a message is too long for a URL.
void RunTester(Exchange& exchange) {
    const WebProvider& provider = exchange.state.provider;
    TesterForm form{FormValue(exchange.request, "text"), Trim(FormValue(exchange.request, "group")),
                    Trim(FormValue(exchange.request, "envelope"))};
    std::optional<JudgeResult> result;
    if (provider.judge) {
        result = provider.judge(
            JudgeRequest{form.text, Utf8ToOem(form.group), Utf8ToOem(form.envelope)});
    }
    SendHtml(exchange, 200,
             TesterPage(FrameFor(exchange, PageTab::kTester), static_cast<bool>(provider.judge),
                        form, result));
}

void ServeKillFile(Exchange& exchange) {
    KillFileView view;
    if (exchange.state.provider.killFile) {
        view.available = true;
        view.file = exchange.state.provider.killFile();
    }
    SendHtml(exchange, 200, KillFilePage(FrameFor(exchange, PageTab::kKillFile), view));
}

void SaveKillFile(Exchange& exchange) {
    const WebProvider& provider = exchange.state.provider;
    if (!provider.saveKillFile || !provider.killFile) {
        return NotAvailable(exchange, PageTab::kKillFile);
    }
    // The editor shows the file's code page 437 as UTF-8; the file keeps
    // its own bytes and CR LF line ends.
    std::string text = CrLfLines(Utf8ToOem(FormValue(exchange.request, "text")));
    KillFileSave outcome = provider.saveKillFile(text);
    std::string name = provider.killFile().name;
    if (outcome.saved) {
        LogWeb("saved the kill file", kLogNotice);
        std::string said = "Saved " + OemToUtf8(name) + "; the new rules are in use.";
        if (!outcome.problems.empty()) {
            said += " " + std::to_string(outcome.problems.size()) +
                    (outcome.problems.size() == 1 ? " warning." : " warnings.");
        }
        exchange.state.sessions.SetNotice(exchange.session.id, Notice{false, said});
        Redirect(exchange, "/killfile");
        return;
    }
    LogWeb("kill file not saved, " + std::to_string(outcome.problems.size()) + " problems",
           kLogFailure);
    KillFileView view{true, KillFileText{name, text, outcome.problems}, true, outcome.failure};
    SendHtml(exchange, 422, KillFilePage(FrameFor(exchange, PageTab::kKillFile), view));
}

void ServeLogin(Exchange& exchange) {
    if (exchange.session.signedIn) return Redirect(exchange, "/");
    SendHtml(exchange, 200, LoginPage(FrameFor(exchange, PageTab::kNone), ""));
}

void Login(Exchange& exchange) {
    WebServerState& state = exchange.state;
    if (int64_t wait = state.throttle.WaitSeconds(Now()); wait > 0) {
        LogWeb("sign-in from " + exchange.request.remote_addr + " refused, too many failures",
               kLogError);
        SendHtml(exchange, 429,
                 LoginPage(FrameFor(exchange, PageTab::kNone),
                           "Too many failed sign-ins; try again in " + std::to_string(wait) +
                               " seconds."));
        return;
    }
    if (!PasswordMatches(state.password, FormValue(exchange.request, "password"))) {
        state.throttle.CountFailure(Now());
        LogWeb("wrong password from " + exchange.request.remote_addr, kLogError);
        SendHtml(exchange, 403, LoginPage(FrameFor(exchange, PageTab::kNone), "Wrong password."));
        return;
    }
    // A new name after signing in: a name planted before (or seen while
    // signed out) is worth nothing.
    state.sessions.End(exchange.session.id);
    if (!StartSession(exchange, true)) return;
    LogWeb("signed in from " + exchange.request.remote_addr, kLogNotice);
    Redirect(exchange, "/");
}

void Logout(Exchange& exchange) {
    exchange.state.sessions.End(exchange.session.id);
    exchange.response.set_header("Set-Cookie", exchange.state.cookieName +
                                                   "=; Path=/; Max-Age=0; HttpOnly; "
                                                   "SameSite=Strict");
    Redirect(exchange, exchange.state.password.IsSet() ? "/login" : "/");
}

constexpr Route kRoutes[] = {
    {"GET", "/style.css", Access::kOpen, ServeStyle},
    {"GET", "/app.js", Access::kOpen, ServeScript},
    {"GET", "/icon.svg", Access::kOpen, ServeIcon},
    {"GET", "/favicon.ico", Access::kOpen, ServeIcon},
    {"GET", "/login", Access::kSignIn, ServeLogin},
    {"POST", "/login", Access::kSignIn, Login},
    {"POST", "/logout", Access::kMember, Logout},
    {"GET", "/", Access::kMember, ServeOverview},
    {"GET", "/quarantine", Access::kMember, ServeQuarantine},
    {"GET", "/quarantine/message", Access::kMember, ServeMessage},
    {"POST", "/quarantine/release", Access::kMember, Release},
    {"POST", "/quarantine/delete", Access::kMember, Delete},
    {"GET", "/test", Access::kMember, ServeTester},
    {"POST", "/test", Access::kMember, RunTester},
    {"GET", "/killfile", Access::kMember, ServeKillFile},
    {"POST", "/killfile", Access::kMember, SaveKillFile},
};

// --- The checks every request passes -------------------------------------

// Before the body is read: a request for a name that is not the page's is
// not looked at further.
httplib::Server::HandlerResponse CheckHost(const WebServerState& state,
                                           const httplib::Request& request,
                                           httplib::Response& response) {
    if (request.get_header_value_count("Host") != 1 ||
        !state.authority.IsOurHost(request.get_header_value("Host"), request.local_addr)) {
        Refuse(request, response, 403,
               "This page answers only to its own address (Host is not this page).");
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

const std::string* HeaderOrNull(const httplib::Request& request, const char* name) {
    auto found = request.headers.find(name);
    return found == request.headers.end() ? nullptr : &found->second;
}

void Dispatch(WebServerState& state, const httplib::Request& request, httplib::Response& response) {
    // HEAD is answered as GET (the library leaves the body out).
    std::string_view method = request.method;
    if (method == "HEAD") method = "GET";
    const Route* route = nullptr;
    bool otherMethod = false;
    for (const Route& candidate : kRoutes) {
        if (candidate.path != request.path) continue;
        if (candidate.method == method)
            route = &candidate;
        else
            otherMethod = true;
    }
    Exchange exchange{state, request, response, SessionView()};
    if (!route) {
        SendHtml(exchange, otherMethod ? 405 : 404,
                 PlainPage(PageFrame(), otherMethod ? "Not allowed" : "Not found",
                           otherMethod ? "This address does not take this kind of request."
                                       : "There is no page at this address."));
        return;
    }
    const bool posting = route->method == "POST";
    if (posting) {
        if (request.target.find('?') != std::string::npos) {
            return Refuse(request, response, 400, "A form is never sent with a query.");
        }
        if (!state.authority.IsSameOrigin(
                HeaderOrNull(request, "Origin"), HeaderOrNull(request, "Referer"),
                HeaderOrNull(request, "Sec-Fetch-Site"), request.local_addr)) {
            return Refuse(request, response, 403,
                          "This form was not sent from Trawlbox's own page.");
        }
    }
    if (route->access == Access::kOpen) return route->handler(exchange);

    std::string id = CookieValue(request, state.cookieName);
    std::optional<SessionView> session;
    if (!id.empty()) session = state.sessions.Find(id, Now());
    const bool needsPassword = state.password.IsSet();
    if (route->access == Access::kSignIn && !needsPassword) return Redirect(exchange, "/");
    bool admitted =
        session && (route->access == Access::kSignIn || !needsPassword || session->signedIn);
    if (!admitted) {
        if (posting) {
            return Refuse(request, response, 403,
                          "Your session has ended; load the page again and repeat.");
        }
        if (needsPassword && route->access == Access::kMember) return Redirect(exchange, "/login");
        if (!StartSession(exchange, !needsPassword)) return;
    } else {
        exchange.session = *session;
    }
    if (posting && !TokenMatches(FormValue(request, "token"), exchange.session.token)) {
        return Refuse(request, response, 403,
                      "This form does not carry the token of your session; load the page "
                      "again and repeat.");
    }
    route->handler(exchange);
}

bool IsLoopback(const std::string& address) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// The loopback address of the other family: a browser asked for
// "localhost" may try either, and a user may type either. "" for an address
// that is not the loopback address of its family.
std::string OtherLoopback(const std::string& address) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return ntohl(v4.s_addr) == INADDR_LOOPBACK ? "::1" : "";
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)) {
        return "127.0.0.1";
    }
    return "";
}

std::string UrlOf(const std::string& address, int port) {
    const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    return "http://" + host + ":" + std::to_string(port) + "/";
}

// Every listener of a page runs the same checks and pages on the shared state.
void SetUpListener(WebServerState& state, httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_payload_max_length(kMaxRequestBytes);
    server.set_default_headers(kSecurityHeaders);
    // Not the library's default, which adds SO_REUSEPORT: with it a second
    // copy would share the port instead of being told that it is in use.
    server.set_socket_options([](socket_t socket) { SetReuseAddress(socket); });
    WebServerState* raw = &state;
    server.set_pre_routing_handler(
        [raw](const httplib::Request& request, httplib::Response& response) {
            return CheckHost(*raw, request, response);
        });
    auto dispatch = [raw](const httplib::Request& request, httplib::Response& response) {
        Dispatch(*raw, request, response);
    };
    server.Get(".*", dispatch);
    server.Post(".*", dispatch);
}

// Binds a listener of `state` to `address` at `port` (0: one the system
// picks). Returns the port bound; 0 with the reason in `problem`.
int BindListener(WebServerState& state, WebListener& listener, const std::string& address, int port,
                 std::string& problem) {
    SetUpListener(state, listener.server);
    errno = 0;
    int bound = port;
    if (port == 0) {
        bound = listener.server.bind_to_any_port(address);
    } else if (!listener.server.bind_to_port(address, port)) {
        bound = -1;
    }
    if (bound <= 0) {
        const int error = errno;
        const std::string url = UrlOf(address, port);
        problem = "cannot listen on " + url.substr(7, url.size() - 8) +
                  (error == EADDRINUSE ? ": the port is in use"
                   : error != 0        ? ": " + std::string(std::strerror(error))
                                       : "");
        return 0;
    }
    listener.url = UrlOf(address, bound);
    return bound;
}

// Runs a bound listener on a thread of its own. Returns false when no thread
// could be started.
bool RunListener(WebListener& listener) {
    try {
        listener.thread = std::thread([&listener] { listener.server.listen_after_bind(); });
    } catch (const std::system_error&) {
        return false;
    }
    // stop() does nothing until the thread runs the server: wait for it, so
    // that a Stop right after Start cannot be lost.
    for (int waited = 0; !listener.server.is_running() && waited < kStartWaitMs;
         waited += kStartPollMs) {
        SleepMilliseconds(kStartPollMs);
    }
    return true;
}

void StopListeners(WebServerState& state) {
    for (auto& listener : state.listeners) listener->server.stop();
    for (auto& listener : state.listeners) {
        if (listener->thread.joinable()) listener->thread.join();
    }
}

bool IsAddress(const std::string& address) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, address.c_str(), &v4) == 1 ||
           inet_pton(AF_INET6, address.c_str(), &v6) == 1;
}

}  // namespace

WebServer::WebServer(WebProvider provider) : provider_(std::move(provider)) {}

WebServer::~WebServer() {
    Stop();
}

std::string WebOptionsProblem(const WebOptions& options, StoredPassword* stored) {
    if (options.port == 0 && !options.anyPort) return "";
    if (options.port < 0 || options.port > 65535) {
        return "WebPort=" + std::to_string(options.port) + " is not a port (0 turns the page off)";
    }
    if (!IsAddress(options.address)) {
        return "WebAddress=" + options.address + " is not an IPv4 or IPv6 address";
    }
    StoredPassword password;
    std::string problem;
    if (!ReadPasswordSetting(options.password, password, problem)) return problem;
    if (!password.IsSet() && !IsLoopback(options.address)) {
        return "WebAddress=" + options.address +
               " can be reached from other machines, so WebPassword= must be set";
    }
    if (stored != nullptr) *stored = std::move(password);
    return "";
}

std::string WebServer::Start(const WebOptions& options) {
    Stop();
    if (options.port == 0 && !options.anyPort) return "";
    StoredPassword password;
    std::string problem = WebOptionsProblem(options, &password);
    if (!problem.empty()) return problem + "; the page was not started";

    auto state = std::make_unique<WebServerState>(provider_, options.address, options.port,
                                                  std::move(password));
    auto first = std::make_unique<WebListener>();
    const int port =
        BindListener(*state, *first, options.address, options.anyPort ? 0 : options.port, problem);
    if (port == 0) return "the web page " + problem;
    if (options.anyPort) {
        state->port = port;
        state->authority = PageAuthority(options.address, port);
        state->cookieName = std::string(kCookiePrefix) + std::to_string(port);
    }
    state->listeners.push_back(std::move(first));
    // The second family is a convenience: without it (no IPv6 on this
    // machine, the port taken there) the page is served all the same.
    const std::string other = OtherLoopback(options.address);
    if (!other.empty()) {
        auto second = std::make_unique<WebListener>();
        if (BindListener(*state, *second, other, port, problem) == port) {
            state->listeners.push_back(std::move(second));
        } else {
            LogWeb("not served on " + other + " as well: " + problem, kLogFailure);
        }
    }
    for (auto& listener : state->listeners) {
        if (!RunListener(*listener)) {
            StopListeners(*state);
            return "the web page could not start its thread";
        }
        LogWeb("serving " + listener->url, kLogNotice);
    }
    state_ = std::move(state);
    return "";
}

void WebServer::Stop() {
    if (!state_) return;
    StopListeners(*state_);
    state_.reset();
}

std::vector<std::string> WebServer::Urls() const {
    std::vector<std::string> urls;
    if (state_) {
        for (const auto& listener : state_->listeners) urls.push_back(listener->url);
    }
    return urls;
}

int WebServer::Port() const {
    return state_ ? state_->port : 0;
}
