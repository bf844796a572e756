// Clocks of the platform: the millisecond timer, the tick count, calendar and local time, and
// the time-zone bias. Tests replace the readings that the system's output depends on.
#pragma once

#include <cstdint>

namespace platform {

uint32_t MillisecondTimer();     // multimedia-timer analogue: milliseconds, wrapping at 32 bits
uint32_t TickCount();            // milliseconds since the system started, wrapping at 32 bits
uint32_t ElapsedMilliseconds();  // monotonic milliseconds for measuring waits; never replaced
uint32_t CalendarSeconds();      // seconds since 1 January 1970 (UTC), 32-bit

struct LocalTimeOfDay {
  uint32_t hour;
  uint32_t minute;
  uint32_t second;
  uint32_t millisecond;
};
void LocalTime(LocalTimeOfDay* out);

// UTC minus local standard time, in minutes, without daylight saving (UTC+1 gives -60).
int32_t TimeZoneBiasMinutes();

// Test hooks; nullptr restores the real reading.
using Clock32Fn = uint32_t (*)();
using BiasFn = int32_t (*)();
void SetMillisecondTimerForTests(Clock32Fn fn);
void SetTickCountForTests(Clock32Fn fn);
void SetCalendarSecondsForTests(Clock32Fn fn);
void SetTimeZoneBiasForTests(BiasFn fn);

}  // namespace platform
