#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace {

std::atomic<double (*)()> clockSource{nullptr};
std::atomic<int64_t (*)()> monotonicSource{nullptr};

LocalTime LocalParts(time_t seconds, int millisecond) {
    tm parts{};
    ::localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_wday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec,  millisecond};
}

}  // namespace

LocalTime LocalNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return LocalParts(now.tv_sec, static_cast<int>(now.tv_nsec / 1000000));
}

int64_t UnixSeconds() {
    return static_cast<int64_t>(::time(nullptr));
}

LocalTime LocalTimeAt(int64_t unixSeconds) {
    return LocalParts(static_cast<time_t>(unixSeconds), 0);
}

int TimeZoneBiasMinutes() {
    time_t now = ::time(nullptr);
    tm parts{};
    ::localtime_r(&now, &parts);
    return static_cast<int>(-parts.tm_gmtoff / 60);
}

double SecondsSinceMidnight() {
    if (auto source = clockSource.load()) return source();
    LocalTime t = LocalNow();
    return t.hour * 3600.0 + t.minute * 60.0 + t.second + t.millisecond / 1000.0;
}

void SetClockForTesting(double (*source)()) {
    clockSource.store(source);
}

void SleepMilliseconds(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int64_t MonotonicMilliseconds() {
    if (auto source = monotonicSource.load()) return source();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SetMonotonicClockForTesting(int64_t (*source)()) {
    monotonicSource.store(source);
}
