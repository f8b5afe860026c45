// The web page over real HTTP on loopback, against the fixture provider:
// the refusals that keep other web sites out, the sign-in, escaping of what
// came from mail, the security headers, the chart and the kill file editor.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "fixture_provider.h"
#include "page_client.h"
#include "platform/socket.h"
#include "web/secrets.h"
#include "web/sessions.h"
#include "web/web_server.h"

namespace {

// Every address that answers a GET; the message view needs an id.
const char* const kPages[] = {"/",          "/quarantine", "/quarantine/message?id=20240501.1",
                              "/test",      "/killfile",   "/login",
                              "/style.css", "/app.js"};

class WebServerTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(""); }

    void Start(const std::string& password) {
        server_.reset();
        data_ = MakeFixtureData();
        server_ = std::make_unique<WebServer>(MakeFixtureProvider(data_));
        WebOptions options;
        options.anyPort = true;
        options.password = password;
        ASSERT_EQ(server_->Start(options), "");
        port_ = server_->Port();
        ASSERT_GT(port_, 0);
    }

    // A client with a session and its token, as after opening the quarantine.
    PageClient Visitor() {
        PageClient client(port_);
        auto page = client.Get("/quarantine");
        EXPECT_TRUE(page && page->status == 200);
        EXPECT_FALSE(client.token().empty());
        return client;
    }

    size_t Kept() {
        std::lock_guard<std::mutex> guard(data_->lock);
        return data_->entries.size();
    }
    int Changes() {
        std::lock_guard<std::mutex> guard(data_->lock);
        return data_->changes;
    }

    std::shared_ptr<FixtureData> data_;
    std::unique_ptr<WebServer> server_;
    int port_ = 0;
};

TEST_F(WebServerTest, RefusesEveryHostButItsOwnNames) {
    const std::string port = std::to_string(port_);
    const std::string other = std::to_string(port_ == 65535 ? port_ - 1 : port_ + 1);
    const std::string refused[] = {"evil.example:" + port,
                                   "evil.example",
                                   "127.0.0.1.evil.example:" + port,
                                   "127.0.0.1:" + other,
                                   "127.0.0.1",
                                   "localhost",
                                   "[::1]:" + port,
                                   "127.0.0.1:0" + port,
                                   "user@127.0.0.1:" + port,
                                   ""};
    PageClient client(port_);
    for (const std::string& host : refused) {
        for (const char* path : {"/", "/quarantine", "/style.css"}) {
            auto page = client.Get(path, {{"Host", host}});
            ASSERT_TRUE(page) << host;
            EXPECT_EQ(page->status, 403) << host << " " << path;
            EXPECT_EQ(page->body.find("boss@example.com"), std::string::npos) << host;
        }
    }
    for (const std::string& host :
         {"127.0.0.1:" + port, "localhost:" + port, "LocalHost:" + port}) {
        auto page = client.Get("/quarantine", {{"Host", host}});
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200) << host;
    }

    // A form that a rebinding site posts with the user's real token is refused as well.
    PageClient visitor = Visitor();
    auto post =
        visitor.Post("/quarantine/delete", {{"token", visitor.token()}, {"id", kHostileId}},
                     {{"Host", "evil.example:" + port}, {"Origin", "http://evil.example:" + port}});
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 403);
    EXPECT_EQ(Kept(), 3u);
}

TEST_F(WebServerTest, PostNeedsTheTokenOfItsOwnSession) {
    PageClient visitor = Visitor();
    PageClient stranger = Visitor();
    ASSERT_NE(visitor.token(), stranger.token());
    PageClient cookieless(port_);

    struct Attempt {
        const char* what;
        PageClient* client;
        httplib::Params fields;
    };
    Attempt attempts[] = {
        {"no token", &visitor, {{"id", kHostileId}}},
        {"empty token", &visitor, {{"id", kHostileId}, {"token", ""}}},
        {"wrong token", &visitor, {{"id", kHostileId}, {"token", std::string(64, '0')}}},
        {"token cut short", &visitor, {{"id", kHostileId}, {"token", visitor.token().substr(1)}}},
        {"another session's token", &visitor, {{"id", kHostileId}, {"token", stranger.token()}}},
        {"no session", &cookieless, {{"id", kHostileId}, {"token", visitor.token()}}},
    };
    for (Attempt& attempt : attempts) {
        for (const char* path : {"/quarantine/delete", "/quarantine/release", "/killfile"}) {
            auto result = attempt.client->Post(path, attempt.fields);
            ASSERT_TRUE(result);
            EXPECT_EQ(result->status, 403) << attempt.what << " " << path;
        }
    }
    EXPECT_EQ(Changes(), 0);

    // The same form with the right token does what it says.
    auto done =
        visitor.Post("/quarantine/delete", {{"token", visitor.token()}, {"id", kHostileId}});
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 303);
    EXPECT_EQ(done->get_header_value("Location"), "/quarantine");
    EXPECT_EQ(Kept(), 2u);
    auto list = visitor.Get("/quarantine");
    ASSERT_TRUE(list);
    EXPECT_NE(list->body.find("notice ok"), std::string::npos);
    EXPECT_NE(list->body.find("Deleted 20240501.1."), std::string::npos);
}

TEST_F(WebServerTest, RefusesFormsFromOtherOrigins) {
    PageClient visitor = Visitor();
    const std::string port = std::to_string(port_);
    const httplib::Headers foreign[] = {
        {{"Origin", "http://evil.example"}},
        {{"Origin", "null"}},
        {{"Origin", "https://127.0.0.1:" + port}},
        {{"Origin", "http://127.0.0.1:" + std::to_string(port_ + 1)}},
        {{"Origin", "http://localhost:" + port}, {"Referer", "http://evil.example/page"}},
        {{"Origin", "http://localhost:" + port}, {"Sec-Fetch-Site", "cross-site"}},
        // Another program's page on this machine is the same site, not the same origin.
        {{"Origin", "http://localhost:" + port}, {"Sec-Fetch-Site", "same-site"}},
    };
    for (const httplib::Headers& headers : foreign) {
        auto result = visitor.Post("/quarantine/release",
                                   {{"token", visitor.token()}, {"id", kHostileId}}, headers);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 403) << headers.begin()->second;
    }
    EXPECT_EQ(Changes(), 0);

    auto accepted =
        visitor.Post("/quarantine/release", {{"token", visitor.token()}, {"id", kHostileId}},
                     {{"Origin", "http://localhost:" + port},
                      {"Referer", "http://127.0.0.1:" + port + "/quarantine"},
                      {"Sec-Fetch-Site", "same-origin"}});
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 303);
    std::lock_guard<std::mutex> guard(data_->lock);
    EXPECT_EQ(data_->released, std::vector<std::string>{kHostileId});
}

TEST_F(WebServerTest, GetChangesNothing) {
    PageClient visitor = Visitor();
    const std::string query = "?id=" + std::string(kHostileId) + "&token=" + visitor.token() +
                              "&text=" + httplib::detail::encode_query_param("--- ALL\r\n");
    for (const char* path : {"/quarantine/delete", "/quarantine/release", "/killfile", "/test",
                             "/logout", "/quarantine"}) {
        auto result = visitor.Get(path + query);
        ASSERT_TRUE(result);
        EXPECT_NE(result->status, 303) << path;
    }
    // A form sent to a URL with a query is refused, whatever the body holds.
    auto posted = visitor.Post("/quarantine/delete" + query,
                               {{"token", visitor.token()}, {"id", kHostileId}});
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 400);
    EXPECT_EQ(Changes(), 0);
    EXPECT_EQ(Kept(), 3u);
}

TEST_F(WebServerTest, EveryResponseCarriesTheSecurityHeaders) {
    PageClient visitor = Visitor();
    std::vector<std::pair<std::string, httplib::Result>> responses;
    for (const char* path : kPages) responses.emplace_back(path, visitor.Get(path));
    responses.emplace_back("404", visitor.Get("/nothing-here"));
    responses.emplace_back("405", visitor.Post("/quarantine", {{"token", visitor.token()}}));
    responses.emplace_back("foreign host", visitor.Get("/", {{"Host", "evil.example"}}));
    responses.emplace_back("no token", visitor.Post("/killfile", {}));
    responses.emplace_back(
        "form", visitor.Post("/quarantine/delete", {{"token", visitor.token()}, {"id", "x"}}));
    for (const auto& [what, response] : responses) {
        ASSERT_TRUE(response) << what;
        EXPECT_EQ(response->get_header_value("X-Frame-Options"), "DENY") << what;
        EXPECT_EQ(response->get_header_value("X-Content-Type-Options"), "nosniff") << what;
        EXPECT_EQ(response->get_header_value("Referrer-Policy"), "same-origin") << what;
        std::string policy = response->get_header_value("Content-Security-Policy");
        EXPECT_NE(policy.find("default-src 'self'"), std::string::npos) << what;
        EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << what;
        EXPECT_EQ(policy.find("unsafe"), std::string::npos) << what;
    }
    // The policy forbids inline script, handlers and style attributes: the
    // pages must not need them.
    static const std::regex inlineCode(
        R"(<script(?![^>]*\bsrc=)|<script[^>]*>[^<]|<[^>]*\son[a-z]+=|<[^>]*\sstyle=)",
        std::regex::icase);
    for (const char* path :
         {"/", "/quarantine", "/quarantine/message?id=20240430.7", "/test", "/killfile"}) {
        auto page = visitor.Get(path);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
        EXPECT_FALSE(std::regex_search(page->body, inlineCode)) << path;
    }
    std::string cookie = visitor.Get("/test", {{"Cookie", ""}})->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos);
}

TEST_F(WebServerTest, TextFromMailIsEscaped) {
    PageClient visitor = Visitor();
    auto list = visitor.Get("/quarantine");
    auto message = visitor.Get("/quarantine/message?id=" + std::string(kHostileId));
    auto tester = visitor.PostMultipart(
        "/test", {{"token", visitor.token(), "", ""}, {"text", HostileMessage(), "", ""}});
    for (const httplib::Result* page : {&list, &message, &tester}) {
        ASSERT_TRUE(*page);
        ASSERT_EQ((*page)->status, 200);
        const std::string& body = (*page)->body;
        EXPECT_EQ(body.find("<script>document"), std::string::npos);
        EXPECT_EQ(body.find("<img"), std::string::npos);
        EXPECT_EQ(body.find("<b>"), std::string::npos);
        EXPECT_NE(body.find("&lt;script&gt;document.title=&#39;pwned&#39;&lt;/script&gt;Win"),
                  std::string::npos);
    }
    EXPECT_NE(
        list->body.find("&lt;img src=x onerror=&quot;document.title=&#39;pwned&#39;&quot;&gt;"),
        std::string::npos);
    // The body is text in <pre>, the header name with markup is text.
    EXPECT_NE(message->body.find("<pre>&lt;html&gt;&lt;body&gt;&lt;script&gt;"), std::string::npos);
    EXPECT_NE(message->body.find("X-&lt;img src=x&gt;"), std::string::npos);
    // A subject in code page 437 reaches the browser as UTF-8.
    EXPECT_NE(list->body.find("lottery \xC3\xBC"
                              "ber"),
              std::string::npos);
    // The id reaches the message link URL-encoded.
    EXPECT_NE(list->body.find("/quarantine/message?id=20240430.7\""), std::string::npos);
}

TEST_F(WebServerTest, OverviewDrawsTheChartFromTheFigures) {
    PageClient visitor(port_);
    auto page = visitor.Get("/");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    const std::string& body = page->body;
    EXPECT_NE(body.find("<svg class=\"chart\""), std::string::npos);
    EXPECT_NE(
        body.find("<title>" + data_->today + ": 40 judged, 10 killed, 5 hidden, 25 kept</title>"),
        std::string::npos);
    // 30 days, each with its title; days without figures are there with zeros.
    std::regex titles("<title>\\d{4}-\\d\\d-\\d\\d: \\d+ judged");
    EXPECT_EQ(std::distance(std::sregex_iterator(body.begin(), body.end(), titles),
                            std::sregex_iterator()),
              30);
    EXPECT_NE(body.find(": 0 judged, 0 killed, 0 hidden, 0 kept</title>"), std::string::npos);
    // The largest day fills the plot (200 units), the day of 999 before the
    // chart's first does not count, and the bars are stacked to scale.
    EXPECT_NE(body.find(">40</text>"), std::string::npos);
    EXPECT_EQ(body.find("999"), std::string::npos);
    std::smatch today;
    std::string todayGroup = body.substr(body.find("<title>" + data_->today));
    ASSERT_TRUE(std::regex_search(todayGroup, today,
                                  std::regex("class=\"bar-kept\"[^>]*height=\"([0-9.]+)\".*?"
                                             "class=\"bar-hidden\"[^>]*height=\"([0-9.]+)\".*?"
                                             "class=\"bar-killed\"[^>]*height=\"([0-9.]+)\"")));
    EXPECT_EQ(today[1], "125.0");
    EXPECT_EQ(today[2], "25.0");
    EXPECT_EQ(today[3], "50.0");
    // The rest of the overview.
    EXPECT_NE(body.find("KILLFILE.CFG:3"), std::string::npos);
    EXPECT_NE(body.find("&quot;*viagra*&quot; \xCE\xA9s \xC2\xBB"
                        "DELE"),
              std::string::npos);
    EXPECT_NE(body.find("pop.example.org:110"), std::string::npos);
    EXPECT_NE(body.find("0:01:15"), std::string::npos);
    EXPECT_NE(body.find("1 day, 1:01:01"), std::string::npos);
    EXPECT_NE(body.find("cpp-httplib"), std::string::npos);
    EXPECT_NE(body.find("<script src=\"/app.js\" defer></script>"), std::string::npos);
}

TEST_F(WebServerTest, RuleTesterShowsFieldsRulesAndVerdict) {
    PageClient visitor = Visitor();
    auto judged = visitor.PostMultipart(
        "/test", {{"token", visitor.token(), "", ""},
                  {"text", "From: a@b\r\nSubject: cheap viagra\r\n\r\nbody\r\n", "", ""}});
    ASSERT_TRUE(judged);
    EXPECT_NE(judged->body.find("cheap viagra"), std::string::npos);
    EXPECT_NE(judged->body.find("KILLFILE.CFG:3"), std::string::npos);
    EXPECT_NE(judged->body.find("verdict: <span class=\"verdict act\">DELE</span>"),
              std::string::npos);

    auto refused = visitor.PostMultipart("/test", {{"token", visitor.token(), "", ""},
                                                   {"text", "no tab here", "", ""},
                                                   {"group", "de.test", "", ""}});
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->body.find("not an overview line: no tab"), std::string::npos);
    EXPECT_NE(refused->body.find("value=\"de.test\""), std::string::npos);
}

TEST_F(WebServerTest, KillFileSaveShowsProblemsAtTheirLinesAndChangesNothing) {
    PageClient visitor = Visitor();
    auto save = [&visitor](const std::string& text) {
        return visitor.PostMultipart("/killfile",
                                     {{"token", visitor.token(), "", ""}, {"text", text, "", ""}});
    };
    const std::string before = data_->killFileText;
    // As a browser sends the text area: UTF-8 and CR LF; the markers are Ω and ».
    const std::string editUtf8 =
        "--- ALL\r\n\"*casino*\" \xCE\xA9s \xC2\xBB"
        "DELE\r\n"
        "REGEXPR \"(((\" \xCE\xA9s \xC2\xBB"
        "DELE\r\n' FIXME later\r\n";
    auto rejected = save(editUtf8);
    ASSERT_TRUE(rejected);
    EXPECT_EQ(rejected->status, 422);
    const std::string& body = rejected->body;
    EXPECT_NE(body.find("Not saved: 1 problem below."), std::string::npos);
    std::smatch row;
    ASSERT_TRUE(
        std::regex_search(body, row, std::regex("<tr id=\"line-3\" class=\"problem\">.*?</tr>")));
    EXPECT_NE(row.str().find(kBadKillMessage), std::string::npos);
    ASSERT_TRUE(
        std::regex_search(body, row, std::regex("<tr id=\"line-4\" class=\"warning\">.*?</tr>")));
    EXPECT_NE(row.str().find("warning: a note left"), std::string::npos);
    ASSERT_TRUE(std::regex_search(body, row, std::regex("<tr id=\"line-2\">.*?</tr>")));
    EXPECT_NE(row.str().find("<td class=\"problems\"></td>"), std::string::npos);
    // The edit stays in the editor; the file stays as it was.
    EXPECT_NE(body.find("REGEXPR &quot;(((&quot;"), std::string::npos);
    EXPECT_EQ(data_->killFileText, before);
    EXPECT_EQ(Changes(), 0);

    // Without the bad line it is saved, in code page 437 with CR LF line ends.
    const std::string good =
        "--- ALL\n\"*casino*\" \xCE\xA9s \xC2\xBB"
        "DELE\n' FIXME later\n";
    auto saved = save(good);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 303);
    EXPECT_EQ(data_->killFileText,
              "--- ALL\r\n\"*casino*\" \xEAs \xAF"
              "DELE\r\n' FIXME later\r\n");
    auto shown = visitor.Get("/killfile");
    ASSERT_TRUE(shown);
    EXPECT_NE(shown->body.find("Saved KILLFILE.CFG; the new rules are in use. 1 warning."),
              std::string::npos);
}

TEST_F(WebServerTest, PasswordGuardsEveryPage) {
    const std::string hash = MakePasswordHash("correct horse");
    ASSERT_TRUE(hash.starts_with("pbkdf2-sha256$"));
    Start(hash);
    PageClient client(port_);
    for (const char* path :
         {"/", "/quarantine", "/quarantine/message?id=20240501.1", "/test", "/killfile"}) {
        auto page = client.Get(path);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 303) << path;
        EXPECT_EQ(page->get_header_value("Location"), "/login") << path;
        EXPECT_EQ(page->body.find("example"), std::string::npos) << path;
    }
    EXPECT_EQ(client.Get("/style.css")->status, 200);

    // The sign-in form's session holds a token, but no rights before signing in.
    auto login = client.Get("/login");
    ASSERT_TRUE(login);
    ASSERT_EQ(login->status, 200);
    const std::string before = client.cookie();
    auto early = client.Post("/quarantine/delete", {{"token", client.token()}, {"id", kHostileId}});
    EXPECT_EQ(early->status, 403);

    auto wrong = client.Post("/login", {{"token", client.token()}, {"password", "correct horsE"}});
    EXPECT_EQ(wrong->status, 403);
    EXPECT_NE(wrong->body.find("Wrong password."), std::string::npos);
    auto right = client.Post("/login", {{"token", client.token()}, {"password", "correct horse"}});
    ASSERT_TRUE(right);
    EXPECT_EQ(right->status, 303);
    EXPECT_NE(client.cookie(), before);
    auto overview = client.Get("/");
    EXPECT_EQ(overview->status, 200);
    EXPECT_NE(overview->body.find("Sign out"), std::string::npos);

    // The session named before signing in was not promoted.
    PageClient planted(port_);
    planted.set_cookie(before);
    EXPECT_EQ(planted.Get("/")->status, 303);

    client.Get("/quarantine");
    auto out = client.Post("/logout", {{"token", client.token()}});
    EXPECT_EQ(out->status, 303);
    EXPECT_EQ(client.Get("/")->status, 303);
    EXPECT_EQ(Changes(), 0);
}

TEST_F(WebServerTest, FailedSignInsAreThrottled) {
    Start("plain secret");
    PageClient client(port_);
    client.Get("/login");
    for (int i = 0; i < kFailedLoginsAllowed; ++i) {
        auto wrong = client.Post("/login", {{"token", client.token()}, {"password", "guess"}});
        ASSERT_TRUE(wrong);
        EXPECT_EQ(wrong->status, 403);
    }
    auto right = client.Post("/login", {{"token", client.token()}, {"password", "plain secret"}});
    ASSERT_TRUE(right);
    EXPECT_EQ(right->status, 429);
    EXPECT_NE(right->body.find("Too many failed sign-ins; try again in "), std::string::npos);
    EXPECT_EQ(client.Get("/")->status, 303);
}

TEST_F(WebServerTest, StartSaysWhyItRefuses) {
    WebServer server(MakeFixtureProvider(MakeFixtureData()));
    struct Case {
        WebOptions options;
        std::string says;
    };
    const Case cases[] = {
        {{"0.0.0.0", 11180, ""}, "WebPassword= must be set"},
        {{"192.0.2.1", 11180, ""}, "WebPassword= must be set"},
        {{"::", 11180, ""}, "WebPassword= must be set"},
        {{"localhost", 11180, ""}, "WebAddress=localhost is not an IPv4 or IPv6 address"},
        {{"127.0.0.1", 70000, ""}, "WebPort=70000 is not a port"},
        {{"127.0.0.1", 11180, "pbkdf2-sha256$600000$abc$def"}, "not a password hash"},
        {{"127.0.0.1", port_, ""},
         "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": the port is in use"},
    };
    for (const Case& c : cases) {
        std::string said = server.Start(c.options);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(server.Port(), 0);
    }
    // Port 0 is no page: nothing is started and that is no error.
    EXPECT_EQ(server.Start({"127.0.0.1", 0, ""}), "");
    EXPECT_EQ(server.Port(), 0);

    // Stopped, the port is free for the next start.
    server_->Stop();
    EXPECT_EQ(server.Start({"127.0.0.1", port_, ""}), "");
    EXPECT_EQ(server.Port(), port_);
    PageClient client(port_);
    EXPECT_EQ(client.Get("/")->status, 200);
}

TEST_F(WebServerTest, ServesOnIpv6Loopback) {
    WebServer server(MakeFixtureProvider(MakeFixtureData()));
    WebOptions options;
    options.address = "::1";
    options.anyPort = true;
    ASSERT_EQ(server.Start(options), "");
    const std::string port = std::to_string(server.Port());
    httplib::Client client("::1", server.Port());
    auto page = client.Get("/quarantine", {{"Host", "[::1]:" + port}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("boss@example.com"), std::string::npos);
    for (const std::string& host : {"::1:" + port, "127.0.0.1:" + port, "[::2]:" + port}) {
        auto refused = client.Get("/quarantine", {{"Host", host}});
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 403) << host;
    }
}

TEST_F(WebServerTest, LoopbackOfTheOtherFamilyToo) {
    // The fixture's page on 127.0.0.1 answers on ::1 at its port as well,
    // to the names of that address.
    EXPECT_EQ(server_->Urls(),
              (std::vector<std::string>{"http://127.0.0.1:" + std::to_string(port_) + "/",
                                        "http://[::1]:" + std::to_string(port_) + "/"}));
    httplib::Client client("::1", port_);
    for (const std::string& host :
         {"[::1]:" + std::to_string(port_), "localhost:" + std::to_string(port_)}) {
        auto page = client.Get("/", {{"Host", host}});
        ASSERT_TRUE(page) << host;
        EXPECT_EQ(page->status, 200) << host;
    }

    // ::1 taken at the port: the page is served on 127.0.0.1 alone.
    const int taken = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin6_port);
    WebServer server(MakeFixtureProvider(MakeFixtureData()));
    EXPECT_EQ(server.Start({"127.0.0.1", port, ""}), "");
    EXPECT_EQ(server.Urls(),
              (std::vector<std::string>{"http://127.0.0.1:" + std::to_string(port) + "/"}));
    PageClient v4(port);
    EXPECT_EQ(v4.Get("/")->status, 200);
    server.Stop();
    ::close(taken);
    EXPECT_TRUE(server.Urls().empty());
}

TEST_F(WebServerTest, MissingProviderPartsSayNotAvailable) {
    WebServer bare{WebProvider()};
    WebOptions options;
    options.anyPort = true;
    ASSERT_EQ(bare.Start(options), "");
    PageClient client(bare.Port());
    for (const char* path :
         {"/", "/quarantine", "/test", "/killfile", "/quarantine/message?id=1"}) {
        auto page = client.Get(path);
        ASSERT_TRUE(page);
        EXPECT_NE(page->body.find("Not available"), std::string::npos) << path;
    }
}

}  // namespace
