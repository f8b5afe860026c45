// The loopback listener of the authorization-code grant for installed
// programs (RFC 8252 section 7.3): the provider sends the user's browser
// back to http://127.0.0.1:PORT with the answer in the query.
#pragma once

#include <memory>
#include <string>

#include "oauth/http.h"

// Answers the browser on a loopback port, for one grant.
class LoopbackRedirect {
  public:
    LoopbackRedirect();
    ~LoopbackRedirect();  // stops listening
    LoopbackRedirect(const LoopbackRedirect&) = delete;
    LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;

    // Listens on 127.0.0.1 at a port the system picks. Returns the port;
    // 0 with the reason in `failure` when it cannot listen.
    int Start(std::string& failure);

    // Waits at most `seconds` for the browser to ask for "/" (requests for
    // other paths, such as a favicon, get 404 and do not count). The
    // browser gets a short plain page saying it may be closed, whatever
    // the query held: the terminal tells the outcome. Returns true with the
    // query's fields of the first such request (decoded, in the order
    // given); false when none came in time.
    bool Wait(int seconds, FormFields& query);

  private:
    struct State;
    std::unique_ptr<State> state_;
};
