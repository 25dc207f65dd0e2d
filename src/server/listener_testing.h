// For tests only: the parts of the listener's loop that a test cannot reach through the fernd
// binary or listener_bind and listener_serve: the loop's state, its reaping, and the
// authorization-delay rule, whose 61-second window no test waits out.
#ifndef FERND_SERVER_LISTENER_TESTING_H_
#define FERND_SERVER_LISTENER_TESTING_H_

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
/// failure was recorded and \a now_seconds stands less than 61 whole seconds past
/// \a last_failure. Both times are whole seconds of the same clock.
[[nodiscard]] bool listener_auth_delay(std::optional<std::int64_t> last_failure,
                                       std::int64_t now_seconds);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_TESTING_H_
