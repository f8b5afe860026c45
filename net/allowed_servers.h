// What a login may make the proxy connect to: the AllowedServers and
// AllowedPorts keys. Any client the access list admits names its own server
// in its login, so without these the proxy would open a connection from its
// own machine to any host and port a client names.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/address_range.h"
#include "platform/ip_address.h"

// The servers of an AllowedServers value: a comma-separated list of host
// names ("pop.example.com"), domain patterns ("*.example.com": every name
// below that domain, not the domain itself), addresses ("192.0.2.7",
// "2001:db8::7") and prefixes ("192.0.2.0/24", "2001:db8::/32"). Names and
// patterns compare without regard to case; a trailing dot of a name is not
// part of it. Blanks around entries are dropped.
class ServerAllowList {
  public:
    // Reads the value; an entry that is none of the forms above (a prefix
    // beyond its family's bits, "*" alone, a blank inside) allows nothing
    // and is kept in invalid().
    explicit ServerAllowList(std::string_view value);

    // True when the value names no entry, valid or not: every server is
    // allowed, as before the key existed.
    bool AllowsAny() const { return !restricted_; }

    // True when the host as the login writes it (a name, an address, or an
    // IPv6 address in brackets) is allowed by itself: a name by a name or
    // pattern entry, an address by an address or prefix entry. A name for
    // which this is false may still be allowed by its addresses.
    bool AllowsHost(std::string_view host) const;

    // True when the address lies in an address or prefix entry.
    bool AllowsAddress(const IpAddress& address) const;

    // True when the host is allowed by itself, or every one of `addresses`
    // (those it resolved to, all of which a connect may use) is allowed;
    // false for no addresses at all. Checking all of them before any
    // connect is what keeps a name that resolves into a refused range out,
    // whichever of its addresses the connect would reach first.
    bool AllowsResolved(std::string_view host, std::span<const IpAddress> addresses) const;

    // The entries read as none of the forms, as written.
    const std::vector<std::string>& invalid() const { return invalid_; }

  private:
    bool restricted_ = false;
    std::vector<std::string> names_;    // upper case, without a trailing dot
    std::vector<std::string> domains_;  // ".EXAMPLE.COM" for "*.example.com"
    std::vector<AddressRange> ranges_;
    std::vector<std::string> invalid_;
};

// Returns the ports an AllowedPorts value lists (comma-separated decimal
// numbers 1..65535); `defaults` when it lists none. An entry that is no such
// number allows nothing and is appended to `invalid` when that is given.
std::vector<int> AllowedPortList(std::string_view value, std::span<const int> defaults,
                                 std::vector<std::string>* invalid = nullptr);

// Returns what is wrong with each entry of an AllowedServers value that
// ServerAllowList cannot read, with what to write instead; nothing when every
// entry is read.
std::vector<std::string> AllowedServersProblems(std::string_view value);

// Returns what is wrong with each entry of an AllowedPorts value that is not
// a number or lies outside 1..65535, with what to write instead; nothing
// when every entry is a port.
std::vector<std::string> AllowedPortsProblems(std::string_view value);
