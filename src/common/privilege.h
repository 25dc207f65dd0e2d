// Giving up root for good, for the one user a session acts for, the way the trusted daemons do it:
// in one place, in order, and checked afterwards.
#ifndef FERND_COMMON_PRIVILEGE_H_
#define FERND_COMMON_PRIVILEGE_H_

#include <sys/types.h>

namespace fernd {

/// Makes the process \a user with the group \a group (the user's primary group) and no
/// supplementary groups, for good: real, effective and saved ids alike. Then checks that the
/// process holds exactly these ids and that root cannot be had back. Returns false, with errno
/// set, when any step or check failed: the process may then hold some of the new ids and none of
/// the old groups, or even be root again, and must end its work at once.
[[nodiscard]] bool privilege_become(uid_t user, gid_t group);

}  // namespace fernd

#endif  // FERND_COMMON_PRIVILEGE_H_
