// Runs a piece of test code in a forked child and collects what it wrote to standard error and
// how it ended: for code whose contract is to end the process.
#ifndef FERND_TESTS_SUPPORT_FORKED_CHILD_H_
#define FERND_TESTS_SUPPORT_FORKED_CHILD_H_

#include <functional>
#include <string>

namespace fernd {

/// How a forked child ended.
struct child_outcome {
  int wait_status = 0;  ///< as waitpid reports it; -1 when the child could not be started
  std::string err;      ///< everything the child wrote to its standard error
};

/// Exit status of a child whose \a body returned instead of ending the process.
constexpr int child_returned_status = 99;

/// Exit status of a child whose \a body let an exception escape (it must not reach the test
/// framework, which would go on running tests in the child).
constexpr int child_threw_status = 97;

/// Forks; the child sends its standard error into a pipe, runs \a body and ends with _exit(99)
/// if \a body returns, or _exit(97) if it throws. The parent collects the pipe's bytes and reaps
/// the child, killing it when it has not ended within \a deadline_seconds.
child_outcome run_in_child(const std::function<void()>& body, int deadline_seconds = 30);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_FORKED_CHILD_H_
