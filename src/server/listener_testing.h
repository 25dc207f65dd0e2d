// For tests only: the listener's state and its handler, which tests reach into.
// Production code outside the listener never uses them.
#ifndef FERND_SERVER_LISTENER_TESTING_H_
#define FERND_SERVER_LISTENER_TESTING_H_

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>

namespace fernd {

// The listener's state, shared between its loop and listener_reap, which changes it behind the
// loop's back. The loop only reads last_auth_failure, and only in a session process, where the
// fork froze a consistent pair with auth_failure_seen.

/// Session processes forked and not yet reaped.
extern volatile std::sig_atomic_t active_sessions;
/// Set once a session process has exited with status 2 or more (an authorization failure).
extern volatile std::sig_atomic_t auth_failure_seen;
/// Whole seconds of CLOCK_MONOTONIC when the latest such session process was reaped.
extern volatile std::int64_t last_auth_failure;

/// The SIGCHLD handler: reaps every ended session process, counts it down in active_sessions and
/// records the time of any that exited with status 2 or more. Touches nothing else; errno is left
/// as it was found. The arguments are not used.
void listener_reap(int signal_number, siginfo_t* info, void* context);

/// Whether a session that starts at \a now_seconds delays its password checks: only when a failure
/// was seen (\a failure_seen) and \a now_seconds stands less than 61 whole seconds past
/// \a last_failure. Both times are whole seconds of the same clock.
bool listener_auth_delay(int failure_seen, std::int64_t last_failure, std::int64_t now_seconds);

/// Returns once fewer than 16 sessions are counted, testing the count again after each \a step
/// at most and after every signal; a session that ends ends the wait at once.
void listener_wait_for_slot(std::chrono::milliseconds step);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_TESTING_H_
