// Child processes that a test forks: owned, so that a test that fails half way leaves no process
// behind, and waited for with a bound, so that a child that hangs fails the test instead of
// hanging it.
#ifndef FERND_TESTS_SUPPORT_CHILD_PROCESS_H_
#define FERND_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "support/process_watch.h"

namespace fernd {

/// A forked child process of this process. Unless it has been reaped, the end of its scope kills
/// it with SIGKILL and reaps it; a child that somebody else reaped is left alone.
struct child_process {
  pid_t pid = -1;       ///< as fork returned it: -1 when none was started; kept once reaped
  bool reaped = false;  ///< set when its end has been collected

  child_process() = default;
  /// Owns the child \a forked, as fork returned it (0, in the child itself, owns nothing).
  explicit child_process(pid_t forked) : pid(forked) {}
  child_process(child_process&& other) noexcept;
  child_process& operator=(child_process&& other) noexcept;
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  ~child_process();
};

/// Exit status of a child whose body let an exception escape (it must not reach the test
/// framework, which would go on running tests in the child).
constexpr int child_threw_status = 97;

/// Exit status of a run_in_child child whose \a body returned instead of ending the process.
constexpr int child_returned_status = 99;

/// Forks a child that runs \a body and ends with _exit and what \a body returns, or with
/// child_threw_status when it throws: it never returns into the test framework, and runs no exit
/// handlers. Fails the calling test when fork fails; pid is -1 then.
child_process child_start(const std::function<int()>& body);

/// Waits for \a child to end and reaps it. When that takes longer than \a limit it kills and
/// reaps it, then sets \a timed_out, or fails the calling test when \a timed_out is null. Returns
/// its wait status, or -1 when there was no child to wait for.
int child_wait(child_process* child, std::chrono::milliseconds limit = process_watch_limit,
               bool* timed_out = nullptr);

/// Kills \a child with SIGKILL and reaps it, unless it was reaped already. Returns its wait
/// status, or -1 when there was no child to kill.
int child_kill(child_process* child);

/// Whether somebody else, such as the code under test, has reaped \a child: it is no longer a
/// child of this process. Then marks it reaped. Never reaps it itself.
bool child_reaped_elsewhere(child_process* child);

/// The exit status in \a wait_status, or -1 when the process did not exit normally.
int child_exit_status(int wait_status);

/// How a run_in_child child ended.
struct child_outcome {
  int wait_status = 0;  ///< as waitpid reports it; -1 when the child could not be started
  std::string err;      ///< everything the child wrote to its standard error
};

/// Runs \a body in a child (child_start) whose standard error goes into a pipe; the child ends
/// with _exit(child_returned_status) when \a body returns. Collects the pipe's bytes and reaps the
/// child, killing it when it has not ended within \a deadline_seconds: for code whose contract is
/// to end the process.
child_outcome run_in_child(const std::function<void()>& body, int deadline_seconds = 30);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_CHILD_PROCESS_H_
