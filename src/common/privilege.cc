// Becoming the owner of a file for good.
#include "common/privilege.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fernd {

namespace {

// Whether this process has given up root for an owner: from then on it works for that owner alone.
bool owner_taken = false;

}  // namespace

bool privilege_become_owner(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return false;
  }
  if (::geteuid() != 0) {
    // A session that became one owner, then failed to open that mailbox, must not reach another
    // owner's mailbox with the first owner's rights.
    if (owner_taken && status.st_uid != ::geteuid()) {
      errno = EPERM;
      return false;
    }
    return true;  // nothing to give up: the process works with its own rights
  }
  if (status.st_uid == 0) {
    return true;  // root's own: root's rights are the owner's
  }
  // Groups first: once the user id has changed, the groups can no longer be changed.
  if (::setgroups(0, nullptr) != 0 ||
      ::setresgid(status.st_gid, status.st_gid, status.st_gid) != 0 ||
      ::setresuid(status.st_uid, status.st_uid, status.st_uid) != 0) {
    return false;
  }
  // For good: a way back to root would make the change worthless.
  if (::setuid(0) == 0) {
    errno = EPERM;
    return false;
  }
  owner_taken = true;
  return true;
}

}  // namespace fernd
