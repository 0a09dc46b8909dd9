// The monotonic clock of the product: readings in nanoseconds and sleeps
// that a signal does not cut short.
#ifndef ZORVIK_BASE_CLOCK_H
#define ZORVIK_BASE_CLOCK_H

#include <cstdint>

namespace zorvik_clock {

// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNs();

// Sleeps until the monotonic clock reaches target_ns; returns at once when
// the target has passed.
void SleepUntilNs(int64_t target_ns);

// Sleeps for duration_ns (nothing for 0 or less).
void SleepForNs(int64_t duration_ns);

}  // namespace zorvik_clock

#endif  // ZORVIK_BASE_CLOCK_H
