// Whether a request is meant for this page and, for one that changes
// something, whether it was sent by this page.
//
// Any web site the user visits can make the browser send requests to the
// loopback address. A site that resolves its own name to 127.0.0.1 (DNS
// rebinding) gets its requests through with its name in Host: so only the
// names this page really has are accepted. A site that posts a form to the
// page shows its own origin in Origin, Referer and Sec-Fetch-Site.
#pragma once

#include <string>
#include <string_view>

class PageAuthority {
  public:
    // `address` is the configured address (IPv6 without brackets), `port`
    // the port served.
    PageAuthority(std::string address, int port);

    // Returns true when the Host value names this page: the configured
    // address, "localhost", or `localAddress` (the address the connection
    // arrived at, for a page bound to all addresses), each without regard to
    // case, with ":port" (which only port 80 may leave out, as browsers do).
    // An IPv6 address is bracketed, as in a URL.
    bool IsOurHost(std::string_view host, std::string_view localAddress) const;

    // Returns true when the request may change something: Origin, when sent,
    // is "http://" and a host IsOurHost accepts; Referer, when sent, is such
    // an origin followed by "/" and a path; Sec-Fetch-Site, when sent, is
    // "same-origin". A value that is present but empty, or "null", is refused.
    bool IsSameOrigin(const std::string* origin, const std::string* referer,
                      const std::string* fetchSite, std::string_view localAddress) const;

  private:
    bool IsOurName(std::string_view name, std::string_view localAddress) const;

    std::string address_;
    std::string port_;
};
