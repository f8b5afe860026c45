// Threads started with one integer argument, and the scheduling priority of
// the calling one.
#pragma once

#include <cstdint>

using ThreadBody = void (*)(int32_t argument);

// Starts a detached thread running body(argument). Returns a positive handle
// number (unique for the life of the process), or 0 when no thread could be
// started.
int32_t StartThread(ThreadBody body, int32_t argument);

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
