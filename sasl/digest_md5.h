// DIGEST-MD5 (RFC 2831), the client's steps for the mechanism table: the
// md5-sess algorithm with quality of protection "auth" only.
#pragma once

#include <string_view>

#include "sasl/client.h"

// Round 0 answers the server's digest-challenge; a challenge without nonce
// or algorithm, or with another algorithm or qop, fails with the line that
// names it. Round 1 checks the server's "rspauth=" proof and answers it with
// the empty response, last; a missing or wrong proof fails. Later rounds fail.
SaslStep DigestMd5Step(SaslExchange& exchange, std::string_view challenge);
