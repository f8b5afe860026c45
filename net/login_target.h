// The real server as a login names it, in front of the account:
// "[method:]host[:port]". Both protocols read it the same way.
#pragma once

#include <string>
#include <string_view>

struct LoginTarget {
    bool hasMethod = false;  // a method was written before the host
    std::string method;      // as written; "" without one
    std::string host;        // an IPv6 literal keeps its brackets
    int port = 0;            // the port written after the host; 0 for none
};

// Splits `text` (the login up to its "#"). Colons inside "[...]" belong to
// an IPv6 literal. A last part of digits naming a port (1..65535) after a
// ":" is the port; whatever stands before the first other ":" is the
// method: "pop.example.org:1110" is host and port, "apop:pop.example.org"
// method and host, "plain:[::1]:1110" all three. Any other text is the
// host as it stands.
LoginTarget ParseLoginTarget(std::string_view text);
