// Giving up root for the owner of what a session works on, so that a mailbox owner reaches
// through fernd no more than the owner could reach alone.
#ifndef FERND_COMMON_PRIVILEGE_H_
#define FERND_COMMON_PRIVILEGE_H_

namespace fernd {

/// When the process runs as root and root does not own the file or directory open on \a fd,
/// becomes its owner and group for good: real, effective and saved ids alike, and no supplementary
/// groups. Otherwise changes nothing. Once the process has become an owner, it serves that owner
/// alone: a file of another owner gives false with EPERM. Returns false (with errno set) when the
/// change failed; the process may then hold some of the new ids and none of the old groups, and
/// must not go on with the work.
[[nodiscard]] bool privilege_become_owner(int fd);

}  // namespace fernd

#endif  // FERND_COMMON_PRIVILEGE_H_
