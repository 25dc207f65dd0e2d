#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/posix_handle.h"

namespace fernd {
namespace {

/// Whether \a child is a process of ours that has not been reaped.
bool child_owned(const child_process& child) {
  return child.pid > 0 && !child.reaped;
}

}  // namespace

child_process::child_process(child_process&& other) noexcept
    : pid(std::exchange(other.pid, -1)), reaped(std::exchange(other.reaped, false)) {}

child_process& child_process::operator=(child_process&& other) noexcept {
  if (this != &other) {
    (void)child_kill(this);
    pid = std::exchange(other.pid, -1);
    reaped = std::exchange(other.reaped, false);
  }
  return *this;
}

child_process::~child_process() {
  (void)child_kill(this);
}

child_process child_start(const std::function<int()>& body) {
  child_process child(::fork());
  if (child.pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return child;
  }
  if (child.pid == 0) {
    int status = child_threw_status;
    try {
      status = body();
    } catch (...) {
      status = child_threw_status;
    }
    ::_exit(status);
  }
  return child;
}

int child_wait(child_process* child, std::chrono::milliseconds limit, bool* timed_out) {
  if (!child_owned(*child)) {
    return -1;
  }
  int status = 0;
  pid_t done = 0;
  const bool ended = wait_until(
      [&] {
        done = ::waitpid(child->pid, &status, WNOHANG);
        return done != 0 && !(done < 0 && errno == EINTR);
      },
      limit);
  if (!ended) {
    if (timed_out != nullptr) {
      *timed_out = true;
    } else {
      ADD_FAILURE() << "process " << child->pid << " did not end";
    }
    return child_kill(child);
  }
  child->reaped = true;  // by this wait, or, when waitpid failed, by somebody else
  return done == child->pid ? status : -1;
}

int child_kill(child_process* child) {
  if (!child_owned(*child) || child_reaped_elsewhere(child)) {
    return -1;
  }
  (void)::kill(child->pid, SIGKILL);
  int status = 0;
  pid_t done = -1;
  do {
    done = ::waitpid(child->pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  child->reaped = true;
  return done == child->pid ? status : -1;
}

bool child_reaped_elsewhere(child_process* child) {
  if (child->reaped) {
    return true;
  }
  siginfo_t info{};
  if (child->pid > 0 &&
      ::waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 &&
      errno == ECHILD) {
    child->reaped = true;
  }
  return child->reaped;
}

int child_exit_status(int wait_status) {
  return wait_status >= 0 && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

child_outcome run_in_child(const std::function<void()>& body, int deadline_seconds) {
  child_outcome outcome;
  outcome.wait_status = -1;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return outcome;
  }
  unique_fd read_end(ends[0]);
  unique_fd write_end(ends[1]);
  child_process child = child_start([&] {
    ::dup2(write_end.fd, STDERR_FILENO);
    body();
    return child_returned_status;
  });
  if (child.pid < 0) {
    return outcome;
  }
  write_end.reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
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
  // What is left of the deadline; a child still running then is killed, and its wait status
  // says so.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  bool timed_out = false;
  outcome.wait_status =
      child_wait(&child, std::max(left, std::chrono::milliseconds(0)), &timed_out);
  return outcome;
}

}  // namespace fernd
