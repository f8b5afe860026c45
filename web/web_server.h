// The local web page: overview, quarantine, rule tester and kill file,
// served over HTTP from threads of its own, off the sessions' path.
//
// Safety of a page on this machine (any web site the user visits can make
// the browser send requests to it):
// - a request whose Host is not one of the page's own names is refused
//   (DNS rebinding);
// - nothing changes on a GET; every change is a POST that carries the
//   session's form token, comes with a same-origin Origin, Referer and
//   Sec-Fetch-Site where the browser sends them, and has no query;
// - with a password every page but the sign-in asks for a signed-in session,
//   failed sign-ins are throttled, and an address other than loopback needs
//   one;
// - the session cookie is HttpOnly and SameSite=Strict; every response
//   carries a security policy that allows only the page's own style sheet
//   and script (no inline script, no eval), may not be framed, and sends no
//   referrer to other sites.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/provider.h"

inline constexpr int kDefaultWebPort = 11180;
inline constexpr std::string_view kDefaultWebAddress = "127.0.0.1";

struct WebOptions {
    std::string address = std::string(kDefaultWebAddress);  // WebAddress=: an IPv4 or IPv6 address
    int port = kDefaultWebPort;                             // WebPort=; 0: no page
    std::string password;  // WebPassword=: "" for none, a MakePasswordHash value, or plain
    bool anyPort = false;  // listen on a port the system picks instead (tests); see Port()
};

struct WebServerState;
struct StoredPassword;

// Returns why the page of `options` could not start, short of the port
// being taken: a port out of range, an address that is not an IP address, a
// malformed password hash, or an address other machines reach without
// WebPassword=; "" when nothing stands in the way (and for port 0, no page).
// With `stored`, a usable password is put there.
std::string WebOptionsProblem(const WebOptions& options, StoredPassword* stored = nullptr);

class WebServer {
  public:
    explicit WebServer(WebProvider provider);
    ~WebServer();  // stops serving
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Starts serving the page, on the configured address and, when that is
    // 127.0.0.1 or ::1, on the other one as well (logged, and left out,
    // when it cannot be had). Returns "" when it is served, and when the
    // port is 0 (no page; nothing is started). Otherwise nothing runs and the
    // text says why, for the user: an address that is not an IP address, a
    // port out of range, a non-loopback address without WebPassword=, a
    // malformed password hash, the port in use, no thread. Stops a page
    // already served first.
    std::string Start(const WebOptions& options);

    // Stops serving and waits for the page's threads (a request being served
    // finishes first). Nothing when nothing is served.
    void Stop();

    // The port served; 0 while nothing is served.
    int Port() const;

    // The page's addresses as URLs ("http://[::1]:11180/"): the configured
    // address first, then, for a loopback address, that of the other family
    // when it could be served too. Empty while nothing is served.
    std::vector<std::string> Urls() const;

  private:
    WebProvider provider_;
    std::unique_ptr<WebServerState> state_;
};
