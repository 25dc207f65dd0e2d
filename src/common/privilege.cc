// Becoming one user for good, and proving it.
#include "common/privilege.h"

#include <grp.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace fernd {
namespace {

// Whether the process holds exactly \a user and \a group as its real, effective and saved ids,
// and no supplementary group.
bool privilege_holds(uid_t user, gid_t group) {
  uid_t real_user = 0;
  uid_t effective_user = 0;
  uid_t saved_user = 0;
  gid_t real_group = 0;
  gid_t effective_group = 0;
  gid_t saved_group = 0;
  if (::getresuid(&real_user, &effective_user, &saved_user) != 0 ||
      ::getresgid(&real_group, &effective_group, &saved_group) != 0) {
    return false;
  }
  // Room for one: an empty list counts 0, any other 1 or fails.
  std::array<gid_t, 1> groups{};
  const int group_count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return real_user == user && effective_user == user && saved_user == user && real_group == group &&
         effective_group == group && saved_group == group && group_count == 0;
}

}  // namespace

bool privilege_become(uid_t user, gid_t group) {
  // Groups first: once the user id has changed, the groups can no longer be changed.
  if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
      ::setresuid(user, user, user) != 0) {
    return false;
  }
  if (!privilege_holds(user, group)) {
    errno = EPERM;
    return false;
  }
  // For good: a way back to root would make the change worthless.
  if (::setuid(0) == 0 || ::setgid(0) == 0) {
    errno = EPERM;
    return false;
  }
  return true;
}

}  // namespace fernd
