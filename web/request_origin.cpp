#include "web/request_origin.h"

#include "core/text.h"

namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::string_view kDefaultPort = "80";

bool SameWithoutCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && LowerCase(a) == LowerCase(b);
}

}  // namespace

PageAuthority::PageAuthority(std::string address, int port)
    : address_(std::move(address)), port_(std::to_string(port)) {}

bool PageAuthority::IsOurName(std::string_view name, std::string_view localAddress) const {
    return SameWithoutCase(name, address_) || SameWithoutCase(name, "localhost") ||
           (!localAddress.empty() && SameWithoutCase(name, localAddress));
}

bool PageAuthority::IsOurHost(std::string_view host, std::string_view localAddress) const {
    std::string_view name;
    std::string_view rest;
    if (host.starts_with('[')) {
        size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(1, close - 1);
        rest = host.substr(close + 1);
        // A bracketed name is an IPv6 address, never "localhost".
        if (name.find(':') == std::string_view::npos) return false;
    } else {
        size_t colon = host.find(':');
        name = host.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
        if (name.find(':') != std::string_view::npos) return false;
    }
    if (rest.empty()) {
        if (port_ != kDefaultPort) return false;
    } else if (rest[0] != ':' || rest.substr(1) != port_) {
        return false;
    }
    return !name.empty() && IsOurName(name, localAddress);
}

bool PageAuthority::IsSameOrigin(const std::string* origin, const std::string* referer,
                                 const std::string* fetchSite,
                                 std::string_view localAddress) const {
    if (fetchSite && *fetchSite != "same-origin") return false;
    if (origin) {
        if (!StartsWith(LowerCase(*origin), kScheme)) return false;
        if (!IsOurHost(std::string_view(*origin).substr(kScheme.size()), localAddress)) {
            return false;
        }
    }
    if (referer) {
        if (!StartsWith(LowerCase(*referer), kScheme)) return false;
        std::string_view rest = std::string_view(*referer).substr(kScheme.size());
        size_t slash = rest.find('/');
        if (slash == std::string_view::npos) return false;
        if (!IsOurHost(rest.substr(0, slash), localAddress)) return false;
    }
    return true;
}
