// The monotonic clock in nanoseconds, and pauses that last their whole length however often a
// signal breaks off the sleep.
#include "common/clock.h"

#include <cerrno>

namespace fernd {

std::int64_t clock_monotonic_ns() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

timespec clock_timespec(std::chrono::nanoseconds span) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>((span - seconds).count())};
}

void clock_sleep(std::chrono::nanoseconds span) {
  timespec left = clock_timespec(span);
  // nanosleep leaves what remains in left when a signal interrupts it.
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace fernd
