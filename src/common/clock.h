// Time as a daemon needs it: the monotonic clock, and pauses that a signal cannot cut short.
#ifndef FERND_COMMON_CLOCK_H_
#define FERND_COMMON_CLOCK_H_

#include <time.h>

#include <chrono>
#include <cstdint>

namespace fernd {

/// Nanoseconds of CLOCK_MONOTONIC.
std::int64_t clock_monotonic_ns();

/// \a span as a timespec.
timespec clock_timespec(std::chrono::nanoseconds span);

/// Sleeps for all of \a span: a signal that interrupts the sleep does not shorten it.
void clock_sleep(std::chrono::nanoseconds span);

}  // namespace fernd

#endif  // FERND_COMMON_CLOCK_H_
