#include "support/forked_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "common/posix_handle.h"

namespace fernd {

child_outcome run_in_child(const std::function<void()>& body, int deadline_seconds) {
  child_outcome outcome;
  outcome.wait_status = -1;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return outcome;
  }
  unique_fd read_end(ends[0]);
  unique_fd write_end(ends[1]);
  const pid_t pid = ::fork();
  if (pid < 0) {
    return outcome;
  }
  if (pid == 0) {
    ::dup2(write_end.fd, STDERR_FILENO);
    try {
      body();
    } catch (...) {
      ::_exit(child_threw_status);
    }
    ::_exit(child_returned_status);
  }
  write_end.reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      (void)::kill(pid, SIGKILL);
      break;
    }
    pollfd p{read_end.fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    const ssize_t n = ::read(read_end.fd, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    outcome.err.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid) {
    outcome.wait_status = status;
  }
  return outcome;
}

}  // namespace fernd
