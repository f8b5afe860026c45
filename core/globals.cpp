#include "core/globals.h"

std::atomic<bool> FilterLoaded{false};
std::atomic<int> StopRequests{0};

// Allocated once and never freed: session threads are not waited for at
// shutdown, so no destructor may run under them.
std::array<std::string, kSlotCount + 1>& KillReportTexts =
    *new std::array<std::string, kSlotCount + 1>();
std::mutex& FileOpenLock = *new std::mutex();
std::mutex& SlotTableLock = *new std::mutex();
