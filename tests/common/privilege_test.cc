#include "common/privilege.h"

#include <grp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "support/call_failure.h"
#include "support/child_process.h"

namespace fernd {
namespace {

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;

// Exit statuses of the children below, each a finding of its own.
constexpr int became = 10;
constexpr int refused = 11;
constexpr int wrong_ids = 12;
constexpr int root_again = 13;

// Becomes nobody in a child, from root with a supplementary group, with \a fault armed, and reports
// how it went.
int become_nobody_in_child(std::optional<identity_fault> fault = std::nullopt) {
  const child_outcome outcome = run_in_child([fault] {
    const gid_t extra = 1;
    if (::setgroups(1, &extra) != 0) {
      std::_Exit(2);
    }
    std::optional<failing_identity> armed;
    if (fault) {
      armed.emplace(*fault);
    }
    if (!privilege_become(nobody, nogroup)) {
      std::_Exit(refused);
    }
    uid_t users[3] = {};
    gid_t groups[3] = {};
    if (::getresuid(&users[0], &users[1], &users[2]) != 0 ||
        ::getresgid(&groups[0], &groups[1], &groups[2]) != 0 || ::getgroups(0, nullptr) != 0) {
      std::_Exit(wrong_ids);
    }
    for (int i = 0; i < 3; ++i) {
      if (users[i] != nobody || groups[i] != nogroup) {
        std::_Exit(wrong_ids);
      }
    }
    if (::setuid(0) == 0 || ::seteuid(0) == 0) {
      std::_Exit(root_again);
    }
    std::_Exit(became);
  });
  return child_exit_status(outcome.wait_status);
}

TEST(PrivilegeBecome, TakesExactlyTheUsersIdsForGood) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can become another user";
  }
  EXPECT_EQ(became, become_nobody_in_child());
}

TEST(PrivilegeBecome, AnyStepThatFailsOrLiesIsAFailure) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can become another user";
  }
  for (const identity_fault fault :
       {identity_fault::setgroups_fails, identity_fault::setresgid_fails,
        identity_fault::setresuid_fails, identity_fault::setresuid_changes_nothing,
        identity_fault::setuid_root_succeeds}) {
    SCOPED_TRACE(static_cast<int>(fault));
    EXPECT_EQ(refused, become_nobody_in_child(fault));
  }
}

}  // namespace
}  // namespace fernd
