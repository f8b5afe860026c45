// Local time and waiting.
#pragma once

#include <cstdint>

struct LocalTime {
    int year;         // four digits
    int month;        // 1..12
    int day;          // 1..31
    int weekday;      // 0 = Sunday .. 6
    int hour;         // 0..23
    int minute;       // 0..59
    int second;       // 0..59
    int millisecond;  // 0..999
};

// Returns the current local date and time.
LocalTime LocalNow();

// Returns the current time in seconds since 1970 (UTC).
int64_t UnixSeconds();

// Returns the local date and time of a moment given in seconds since 1970
// (millisecond 0).
LocalTime LocalTimeAt(int64_t unixSeconds);

// Returns UTC minus local time in minutes, daylight saving included
// (-60 on a machine one hour east of UTC in standard time).
int TimeZoneBiasMinutes();

// Returns seconds since local midnight with millisecond resolution. Tests may
// replace the source with SetClockForTesting.
double SecondsSinceMidnight();

// Replaces the clock behind SecondsSinceMidnight; nullptr restores the real one.
void SetClockForTesting(double (*source)());

// Sleeps for the given number of milliseconds.
void SleepMilliseconds(int milliseconds);

// Returns a monotonic reading in milliseconds, for measuring waits: it never
// jumps when the wall clock is set. Tests may replace the source with
// SetMonotonicClockForTesting.
int64_t MonotonicMilliseconds();

// Replaces the clock behind MonotonicMilliseconds; nullptr restores the real
// one.
void SetMonotonicClockForTesting(int64_t (*source)());
