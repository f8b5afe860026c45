#include "oauth/wall_clock.h"

#include <chrono>
#include <thread>

namespace {

class RealClock final : public OAuthClock {
  public:
    int64_t Now() override {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    void Sleep(int64_t seconds) override {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
};

}  // namespace

OAuthClock& SystemClock() {
    static RealClock clock;
    return clock;
}
