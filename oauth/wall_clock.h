// The time that token expiries and device-flow polling go by. It is a seam:
// tests hand in a clock that moves when asked to sleep, so a flow with a
// five-second interval runs at once.
#pragma once

#include <cstdint>

class OAuthClock {
  public:
    virtual ~OAuthClock() = default;
    // Seconds since the Unix epoch; expiries are stored in the same unit.
    virtual int64_t Now() = 0;
    // Waits that many seconds (a device flow's poll interval).
    virtual void Sleep(int64_t seconds) = 0;
};

// The system's clock with real waiting. One shared object, safe from any thread.
OAuthClock& SystemClock();
