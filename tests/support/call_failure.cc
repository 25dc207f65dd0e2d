#include "support/call_failure.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace {

// What is armed; zero counts when nothing is. The tests run in one thread.
int accept_error = 0;
int accept_failures = 0;
int fork_error = 0;
int fork_failures = 0;
bool fork_holding = false;
int forks_passing = 0;
std::optional<fernd::identity_fault> identity_armed;

bool identity_is(fernd::identity_fault fault) {
  return identity_armed == fault;
}

}  // namespace

namespace fernd {

failing_accept::failing_accept(int error, int count) {
  accept_error = error;
  accept_failures = count;
}

failing_accept::~failing_accept() {
  accept_failures = 0;
}

failing_fork::failing_fork(int error, int count) {
  fork_error = error;
  fork_failures = count;
}

failing_fork::~failing_fork() {
  fork_failures = 0;
}

fork_returning_after_the_child::fork_returning_after_the_child(int passing) {
  forks_passing = passing;
  fork_holding = true;
}

fork_returning_after_the_child::~fork_returning_after_the_child() {
  fork_holding = false;
}

failing_identity::failing_identity(identity_fault fault) {
  identity_armed = fault;
}

failing_identity::~failing_identity() {
  identity_armed.reset();
}

}  // namespace fernd

// The linker sends every call of accept and fork in the test binary here (-Wl,--wrap), and the
// __real_ names to the C library's functions.
extern "C" {

int __real_accept(int fd, sockaddr* address, socklen_t* length);
pid_t __real_fork();
int __real_setgroups(size_t size, const gid_t* list);
int __real_setresgid(gid_t real, gid_t effective, gid_t saved);
int __real_setresuid(uid_t real, uid_t effective, uid_t saved);
int __real_setuid(uid_t user);

int __wrap_accept(int fd, sockaddr* address, socklen_t* length) {
  if (accept_failures > 0) {
    --accept_failures;
    errno = accept_error;
    return -1;
  }
  return __real_accept(fd, address, length);
}

pid_t __wrap_fork() {
  if (fork_failures > 0) {
    --fork_failures;
    errno = fork_error;
    return -1;
  }
  const pid_t pid = __real_fork();
  if (pid <= 0 || !fork_holding) {
    return pid;
  }
  if (forks_passing > 0) {
    --forks_passing;
    return pid;
  }
  fork_holding = false;
  const int saved_errno = errno;
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  errno = saved_errno;
  return pid;
}

int __wrap_setgroups(size_t size, const gid_t* list) {
  if (identity_is(fernd::identity_fault::setgroups_fails)) {
    errno = EPERM;
    return -1;
  }
  return __real_setgroups(size, list);
}

int __wrap_setresgid(gid_t real, gid_t effective, gid_t saved) {
  if (identity_is(fernd::identity_fault::setresgid_fails)) {
    errno = EPERM;
    return -1;
  }
  return __real_setresgid(real, effective, saved);
}

int __wrap_setresuid(uid_t real, uid_t effective, uid_t saved) {
  if (identity_is(fernd::identity_fault::setresuid_fails)) {
    errno = EPERM;
    return -1;
  }
  if (identity_is(fernd::identity_fault::setresuid_changes_nothing)) {
    return 0;
  }
  return __real_setresuid(real, effective, saved);
}

int __wrap_setuid(uid_t user) {
  if (user == 0 && identity_is(fernd::identity_fault::setuid_root_succeeds)) {
    return 0;
  }
  return __real_setuid(user);
}

}  // extern "C"
