// The login deadline: an interval timer of the process, and a flag that its handler sets.
#include "common/deadline.h"

#include <sys/time.h>

#include <csignal>

namespace fernd {
namespace {

// Set by the handler, read by the loops that the signal interrupts.
volatile std::sig_atomic_t passed = 0;
bool armed = false;

// Async-signal-safe: it sets the flag, nothing else. The interrupted call does the rest.
void deadline_reached(int /*signal_number*/) {
  passed = 1;
}

timeval as_timeval(std::chrono::milliseconds span) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(span - seconds);
  return {static_cast<time_t>(seconds.count()), static_cast<suseconds_t>(micros.count())};
}

}  // namespace

void deadline_arm(std::chrono::milliseconds limit) {
  passed = 0;
  struct sigaction action {};
  action.sa_handler = deadline_reached;
  (void)::sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked call must return
  (void)::sigaction(SIGALRM, &action, nullptr);
  // ITIMER_REAL runs on the monotonic clock: a change of the system's time does not move it.
  // A deadline of zero would disarm the timer; the shortest one is a microsecond.
  const itimerval timer{as_timeval(deadline_repeat),
                        limit.count() > 0 ? as_timeval(limit) : timeval{0, 1}};
  (void)::setitimer(ITIMER_REAL, &timer, nullptr);
  armed = true;
}

void deadline_disarm() {
  if (!armed) {
    return;
  }
  const itimerval stopped{};
  (void)::setitimer(ITIMER_REAL, &stopped, nullptr);
  // Ignoring the signal also discards one that is pending already.
  (void)std::signal(SIGALRM, SIG_IGN);
  passed = 0;
  armed = false;
}

bool deadline_passed() {
  return passed != 0;
}

}  // namespace fernd
