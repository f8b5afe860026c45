#include "core/globals.h"

std::atomic<bool> FilterLoaded{false};
std::atomic<int> StopRequests{0};

// Allocated once and never freed: session threads are not waited for at
// shutdown, so no destructor may run under them.
std::mutex& FileOpenLock = *new std::mutex();
