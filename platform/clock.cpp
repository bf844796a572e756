// POSIX clocks behind the platform clock interface.
#include "platform/clock.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<Clock32Fn> timerOverride{nullptr};
std::atomic<Clock32Fn> tickOverride{nullptr};
std::atomic<Clock32Fn> calendarOverride{nullptr};
std::atomic<BiasFn> biasOverride{nullptr};

uint32_t MillisecondsOf(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace

uint32_t MillisecondTimer() {
  Clock32Fn fn = timerOverride.load();
  return fn != nullptr ? fn() : MillisecondsOf(CLOCK_MONOTONIC);
}

uint32_t TickCount() {
  Clock32Fn fn = tickOverride.load();
  return fn != nullptr ? fn() : MillisecondsOf(CLOCK_BOOTTIME);
}

uint32_t ElapsedMilliseconds() {
  return MillisecondsOf(CLOCK_MONOTONIC);
}

uint32_t CalendarSeconds() {
  Clock32Fn fn = calendarOverride.load();
  return fn != nullptr ? fn() : static_cast<uint32_t>(time(nullptr));
}

void LocalTime(LocalTimeOfDay* out) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  tm parts{};
  localtime_r(&seconds, &parts);
  out->hour = static_cast<uint32_t>(parts.tm_hour);
  out->minute = static_cast<uint32_t>(parts.tm_min);
  out->second = static_cast<uint32_t>(parts.tm_sec);
  out->millisecond = static_cast<uint32_t>(tv.tv_usec / 1000);
}

int32_t TimeZoneBiasMinutes() {
  BiasFn fn = biasOverride.load();
  if (fn != nullptr) return fn();
  // The zone is read from the system once per process (tzset looks at the zone file each time
  // it is called); a run charges once, so every charge sees the zone the program started with.
  static const int32_t bias = [] {
    tzset();
    return static_cast<int32_t>(timezone / 60);  // seconds west of UTC, standard time
  }();
  return bias;
}

void SetMillisecondTimerForTests(Clock32Fn fn) {
  timerOverride.store(fn);
}
void SetTickCountForTests(Clock32Fn fn) {
  tickOverride.store(fn);
}
void SetCalendarSecondsForTests(Clock32Fn fn) {
  calendarOverride.store(fn);
}
void SetTimeZoneBiasForTests(BiasFn fn) {
  biasOverride.store(fn);
}

}  // namespace platform
