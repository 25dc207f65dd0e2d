// The listener loop's own parts: what it knows of its session processes, how it reaps them, and
// the authorization-delay rule. Declared apart from listener.h, whose callers need none of them,
// so that the tests can drive each part directly: the delay window (listener_auth_delay_window)
// is longer than any test waits.
#ifndef FERND_SERVER_LISTENER_LOOP_H_
#define FERND_SERVER_LISTENER_LOOP_H_

#include <cstdint>
#include <optional>

namespace fernd {

/// What the listener's loop knows of its session processes. The loop alone reads and changes it;
/// a session process starts with a copy, as the fork froze it.
struct listener_sessions {
  /// Session processes forked and not yet reaped.
  int active = 0;
  /// Whole seconds of CLOCK_MONOTONIC when the latest session process that exited with status
  /// exit_status_auth_failed or more was reaped; none before the first.
  std::optional<std::int64_t> last_auth_failure;
};

/// Reaps every child that has ended, without waiting for any: counts each down in \a sessions and
/// records the time of any that exited with status 2 or more. One ended by a signal is counted
/// down and is no failure.
void listener_reap(listener_sessions* sessions);

/// Whether a session that starts at \a now_seconds delays its password checks: only when a
/// failure was recorded and \a now_seconds stands less than listener_auth_delay_window whole
/// seconds past \a last_failure. Both times are whole seconds of the same clock.
[[nodiscard]] bool listener_auth_delay(std::optional<std::int64_t> last_failure,
                                       std::int64_t now_seconds);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_LOOP_H_
