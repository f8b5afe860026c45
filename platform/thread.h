// Threads started with one integer argument.
#pragma once

#include <cstdint>

using ThreadBody = void (*)(int32_t argument);

// Starts a detached thread running body(argument). Returns a positive handle
// number (unique for the life of the process), or 0 when no thread could be
// started.
int32_t StartThread(ThreadBody body, int32_t argument);

// Raises (true) or restores (false) the calling thread's scheduling priority
// where the system allows it; silently nothing otherwise.
void SetHighPriority(bool high);
