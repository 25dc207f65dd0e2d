#include "support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <utility>
#include <vector>

#include "common/posix_handle.h"

namespace fernd {
namespace {

// Whether \a pid is a child of this process, reaped or not.
bool is_child(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// A child that waits until its parent's end of a pipe closes, which no test here does: only a
// kill ends it.
child_process waiting_child(unique_fd* parent_end) {
  int ends[2];
  EXPECT_EQ(0, ::pipe(ends));
  parent_end->reset(ends[1]);
  child_process child = child_start([&] {
    (void)::close(ends[1]);
    char byte = 0;
    (void)::read(ends[0], &byte, 1);
    return 0;
  });
  (void)::close(ends[0]);
  return child;
}

TEST(ChildProcess, EndOfScopeKillsAndReapsARunningChild) {
  unique_fd gate;
  pid_t pid = -1;
  {
    const child_process child = waiting_child(&gate);
    pid = child.pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(is_child(pid));
  }
  EXPECT_FALSE(is_child(pid)) << "left behind";
}

TEST(ChildProcess, MovedChildIsOwnedOnceAndAnOverwrittenOneIsKilled) {
  unique_fd gates[2];
  child_process first = waiting_child(&gates[0]);
  const pid_t first_pid = first.pid;
  std::vector<child_process> owners;
  owners.push_back(std::move(first));
  EXPECT_EQ(-1, first.pid);  // NOLINT(bugprone-use-after-move): a moved-from owner owns nothing
  EXPECT_TRUE(is_child(first_pid));
  owners.back() = waiting_child(&gates[1]);
  EXPECT_FALSE(is_child(first_pid)) << "the overwritten child was left behind";
  const pid_t second_pid = owners.back().pid;
  owners.clear();
  EXPECT_FALSE(is_child(second_pid));
}

TEST(ChildProcess, WaitReportsTheEndOrKillsAtTheLimit) {
  const struct {
    const char* what;
    int exit_status;  ///< -1: the child raises SIGTERM instead
  } endings[] = {{"exit 0", 0}, {"exit 3", 3}, {"SIGTERM", -1}};
  for (const auto& c : endings) {
    SCOPED_TRACE(c.what);
    child_process child = child_start([&] {
      if (c.exit_status < 0) {
        (void)::raise(SIGTERM);
      }
      return c.exit_status;
    });
    bool timed_out = false;
    const int status = child_wait(&child, process_watch_limit, &timed_out);
    EXPECT_FALSE(timed_out);
    EXPECT_TRUE(child.reaped);
    EXPECT_FALSE(is_child(child.pid));
    EXPECT_EQ(c.exit_status, child_exit_status(status));
    if (c.exit_status < 0) {
      ASSERT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(SIGTERM, WTERMSIG(status));
    }
    EXPECT_EQ(-1, child_wait(&child)) << "a second wait";
  }

  unique_fd gate;
  child_process hung = waiting_child(&gate);
  bool timed_out = false;
  const int status = child_wait(&hung, std::chrono::milliseconds(50), &timed_out);
  EXPECT_TRUE(timed_out);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  EXPECT_FALSE(is_child(hung.pid));
}

TEST(ChildProcess, ThrowingBodyNeverReturnsIntoTheTestFramework) {
  child_process child = child_start([]() -> int { throw 1; });
  EXPECT_EQ(child_threw_status, child_exit_status(child_wait(&child)));
}

TEST(ChildProcess, ReapedElsewhereIsToldAndLeftAlone) {
  child_process child = child_start([] { return 5; });
  ASSERT_GT(child.pid, 0);
  EXPECT_FALSE(child_reaped_elsewhere(&child)) << "reaped by merely asking";
  int status = 0;
  ASSERT_EQ(child.pid, ::waitpid(child.pid, &status, 0));
  EXPECT_TRUE(child_reaped_elsewhere(&child));
  EXPECT_TRUE(child.reaped);
  EXPECT_EQ(-1, child_kill(&child));
  EXPECT_EQ(-1, child_wait(&child));
}

TEST(RunInChild, CollectsStandardErrorAndTheEnd) {
  const child_outcome returned = run_in_child([] { (void)!::write(STDERR_FILENO, "said", 4); });
  ASSERT_TRUE(WIFEXITED(returned.wait_status));
  EXPECT_EQ(child_returned_status, WEXITSTATUS(returned.wait_status));
  EXPECT_EQ("said", returned.err);

  // One that outlives its deadline is killed.
  const child_outcome hung = run_in_child([] { (void)::pause(); }, 1);
  ASSERT_TRUE(WIFSIGNALED(hung.wait_status));
  EXPECT_EQ(SIGKILL, WTERMSIG(hung.wait_status));
}

}  // namespace
}  // namespace fernd
