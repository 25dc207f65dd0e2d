// Watching another process through /proc, for tests that must act at a known point of its run:
// while it waits in a given system call, or while it is stopped.
#ifndef FERND_TESTS_SUPPORT_PROCESS_WATCH_H_
#define FERND_TESTS_SUPPORT_PROCESS_WATCH_H_

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace fernd {

/// The bound of every wait for another process: only a hang takes this long.
constexpr std::chrono::milliseconds process_watch_limit(20'000);

/// The state letter of process \a pid (R, S, T, Z, ...), or '?' when it is gone.
char process_state(pid_t pid);

/// Whether process \a pid is blocked in the system call \a number.
bool process_in_system_call(pid_t pid, long number);

/// Tests \a condition every millisecond until it holds; false when \a limit passes first.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = process_watch_limit);

/// Stops \a pid with SIGSTOP, waits until it is stopped, and lets it go on with SIGCONT, as job
/// control or a debugger would. Fails the calling test (ASSERT_NO_FATAL_FAILURE) when it cannot.
void stop_and_continue(pid_t pid);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_PROCESS_WATCH_H_
