// Failures of accept and fork on demand, and a fork that returns late, for the listener's tests;
// failures and lies of the calls that change a process's identity, for the tests of giving up
// root. The test binary is linked with --wrap for each of these calls: every call in it (fernd's
// own among them) comes here first, and goes on to the real call unless a test has armed what
// cannot be produced for real.
#ifndef FERND_TESTS_SUPPORT_CALL_FAILURE_H_
#define FERND_TESTS_SUPPORT_CALL_FAILURE_H_

namespace fernd {

/// While it lives, the next \a count calls of accept in this process fail with \a error, and
/// later ones reach the real accept. Arm it in the process that is to meet the failures (a child
/// forked for the listener): a process forked meanwhile gets a copy of the count. Not nestable.
struct failing_accept {
  failing_accept(int error, int count);
  ~failing_accept();
  failing_accept(const failing_accept&) = delete;
  failing_accept& operator=(const failing_accept&) = delete;
};

/// The same for fork: the next \a count calls fail with \a error and create no process.
struct failing_fork {
  failing_fork(int error, int count);
  ~failing_fork();
  failing_fork(const failing_fork&) = delete;
  failing_fork& operator=(const failing_fork&) = delete;
};

/// While it lives, the fork after the first \a passing ones returns in the parent only once the
/// child it created has ended (left unreaped, so that the parent's SIGCHLD has come before the
/// parent goes on); every other fork returns at once. Not nestable.
struct fork_returning_after_the_child {
  explicit fork_returning_after_the_child(int passing);
  ~fork_returning_after_the_child();
  fork_returning_after_the_child(const fork_returning_after_the_child&) = delete;
  fork_returning_after_the_child& operator=(const fork_returning_after_the_child&) = delete;
};

/// A change of identity going wrong at one of its steps.
enum class identity_fault {
  setgroups_fails,            ///< setgroups fails with EPERM
  setresgid_fails,            ///< setresgid fails with EPERM
  setresuid_fails,            ///< setresuid fails with EPERM
  setresuid_changes_nothing,  ///< setresuid reports success but leaves the user ids as they are
  setuid_root_succeeds,       ///< setuid(0) reports success, as if root could be had back
};

/// While it lives, every call that \a fault names goes wrong in this process (and in processes
/// forked meanwhile). Not nestable.
struct failing_identity {
  explicit failing_identity(identity_fault fault);
  ~failing_identity();
  failing_identity(const failing_identity&) = delete;
  failing_identity& operator=(const failing_identity&) = delete;
};

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_CALL_FAILURE_H_
