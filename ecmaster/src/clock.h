// Monotonic time helpers used by the master core.
#ifndef ECMASTER_SRC_CLOCK_H
#define ECMASTER_SRC_CLOCK_H

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace ecmaster {

inline int64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Sleeps for the given number of microseconds, resuming after signals.
inline void SleepUs(int64_t us) {
  if (us <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(us / 1000000);
  ts.tv_nsec = static_cast<long>((us % 1000000) * 1000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace ecmaster

#endif  // ECMASTER_SRC_CLOCK_H
