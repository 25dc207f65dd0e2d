#include "support/pseudo_terminal.h"

#include <fcntl.h>
#include <pty.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace fernd {

pid_t fork_on_terminal(unique_fd* master) {
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid < 0) {
    ADD_FAILURE() << "forkpty: " << std::strerror(errno);
    return -1;
  }
  if (pid > 0) {
    master->reset(terminal);
    (void)::fcntl(terminal, F_SETFD, FD_CLOEXEC);
  }
  return pid;
}

}  // namespace fernd
