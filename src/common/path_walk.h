// Opening a configured path the way a daemon that serves several users must: one step at a time
// from "/", never letting the kernel follow a symbolic link, so that every directory and every link
// on the way is looked at before it is used, and whoever could change where the path leads is
// known. A step is controlled by its owner; a directory that its group may write, by that group's
// members too, unless it has the sticky bit (then each entry is its own owner's alone); a directory
// that others may write without the sticky bit, by everyone, and such a path is refused. The
// directory that the path names gets no help from the sticky bit: what others could create in it
// is what the caller is about to use. The caller gets descriptors, never a path to open again.
#ifndef FERND_COMMON_PATH_WALK_H_
#define FERND_COMMON_PATH_WALK_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "common/posix_handle.h"

namespace fernd {

/// Whom a walk lets decide where a path leads: root always, and at most one other user.
struct path_trust {
  /// Besides root, the one user who may control a step; none: root alone, until one is adopted.
  std::optional<uid_t> user;
  /// That user's primary group: a step that this group may write is still the user's alone.
  gid_t group = 0;
  /// The user's name, for messages.
  std::string user_name;
  /// The first step that one user other than root controls alone makes that user trusted (a walk
  /// as root, which will then act for that user). That user needs an entry in the password
  /// database and a primary group other than root's; a step writable by a group that is not the
  /// user's own, or that lists other members, is refused.
  bool adopt = false;
  /// What the path names (not a link on the way there) may belong to anyone: a Maildir that fernd,
  /// running as a user of its own, serves for another user.
  bool last_step_anyones = false;
  /// A refusal of a step that another user controls names the remedy: running fernd as root, or
  /// as that user (a walk of a process that is not root, for a Maildir).
  bool suggest_remedy = false;
  /// A step into "/proc/<this process>/fd/N", where "/dev/stderr" leads, gives the process's own
  /// descriptor N, whatever it is: the one the process was started with, not a file by that name.
  bool own_descriptors = false;
};

/// The trust of a walk run by this process for itself: root alone when it is root, else root and
/// the process's own user with its primary group.
[[nodiscard]] path_trust path_trust_own();

/// What a walk found at the end of the path.
struct path_found {
  /// An O_PATH descriptor of what the path names (a directory can be used with openat as it
  /// stands), or with own_descriptor a duplicate of that descriptor; none when it does not exist.
  unique_fd fd;
  /// The status of fd.
  struct stat status {};
  /// The directory that holds the last step (O_PATH), and the last step's name there: where a
  /// missing file is created, or an existing one opened again for real and compared with fd.
  unique_fd directory;
  std::string name;
  /// The process's own descriptor (path_trust::own_descriptors).
  bool own_descriptor = false;
  /// Why the walk failed: the step, and what is wrong with it.
  std::string reason;
};

/// Walks \a path (a relative one from the working directory, whose own path is walked too) from
/// "/" under \a trust, which a walk with path_trust::adopt may change. Symbolic links are read and
/// followed as the kernel would, up to 40 of them, each one a step that \a trust must allow. With
/// \a may_be_missing, a last step that does not exist is no failure (fd stays none). Returns false
/// with the reason in \a found. Memory exhaustion is such a failure.
[[nodiscard]] bool path_walk(const char* path, path_trust* trust, path_found* found,
                             bool may_be_missing = false);

}  // namespace fernd

#endif  // FERND_COMMON_PATH_WALK_H_
