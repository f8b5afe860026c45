// Threads, and the scheduling priority of the calling one.
#pragma once

#include <functional>

// Starts a detached thread running `body`. Returns true once it runs; false
// when no thread could be started, and `body` has then not run (what it
// captured is destroyed with it). The thread never takes SIGHUP, SIGINT or
// SIGTERM: they go to a thread that did not come from here.
bool StartThread(std::function<void()> body);

// Raises the calling thread's scheduling priority for the life of the
// object, where the system allows it (silently nothing otherwise), and
// restores it on every way out: for work a user waits on, such as the
// mailbox scan and a RETR.
class HighPriorityScope {
  public:
    HighPriorityScope();
    ~HighPriorityScope();
    HighPriorityScope(const HighPriorityScope&) = delete;
    HighPriorityScope& operator=(const HighPriorityScope&) = delete;
};
