#include "support/pause_count.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace fernd {
namespace {

thread_local long pauses = 0;

// The pause itself, as the C library makes it: one clock_nanosleep system call. Returns 0, or -1
// with errno set.
long pause_for(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
  ++pauses;
  return ::syscall(SYS_clock_nanosleep, clock, flags, request, remaining);
}

}  // namespace

long pause_count() {
  return pauses;
}

}  // namespace fernd

// Definitions in the executable take the place of the C library's for the code linked into it,
// and for the shared libraries it loads.
extern "C" {

unsigned sleep(unsigned seconds) {
  timespec request{static_cast<time_t>(seconds), 0};
  timespec remaining{};
  if (fernd::pause_for(CLOCK_REALTIME, 0, &request, &remaining) != 0 && errno == EINTR) {
    // What was left, in whole seconds, rounded as the C library rounds it.
    return static_cast<unsigned>(remaining.tv_sec) + (remaining.tv_nsec >= 500'000'000L ? 1 : 0);
  }
  return 0;
}

int nanosleep(const timespec* request, timespec* remaining) {
  return fernd::pause_for(CLOCK_REALTIME, 0, request, remaining) == 0 ? 0 : -1;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
  // Unlike nanosleep, this one returns the error number instead of setting errno.
  const int saved_errno = errno;
  const long result = fernd::pause_for(clock, flags, request, remaining);
  const int error = result == 0 ? 0 : errno;
  errno = saved_errno;
  return error;
}

}  // extern "C"
