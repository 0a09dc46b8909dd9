#include "base/clock.h"

#include <errno.h>
#include <time.h>

namespace zorvik_clock {

namespace {
constexpr int64_t kNsPerSec = 1000000000LL;
}  // namespace

int64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

void SleepUntilNs(int64_t target_ns) {
  if (target_ns <= 0) return;
  timespec ts;
  ts.tv_sec = static_cast<time_t>(target_ns / kNsPerSec);
  ts.tv_nsec = static_cast<long>(target_ns % kNsPerSec);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void SleepForNs(int64_t duration_ns) {
  if (duration_ns <= 0) return;
  SleepUntilNs(MonotonicNs() + duration_ns);
}

}  // namespace zorvik_clock
