// Exclusive use of one Maildir mailbox and the numbered snapshot of the messages in its "new"
// directory. Message number n is entries[n - 1]; numbers never shift within a session, not even
// when messages are marked deleted.
#ifndef FERND_MAILDIR_MAILDIR_H_
#define FERND_MAILDIR_MAILDIR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/page_memory.h"
#include "common/posix_handle.h"
#include "maildir/mail_entry.h"
#include "maildir/name_store.h"

namespace fernd {

/// Name of the lock file in every maildir; created on first use, never removed.
inline constexpr const char* maildir_lock_name = "fernd.lock";

/// Why a maildir cannot be used, as the log names it.
struct maildir_failure {
  /// Another process holds the mailbox: the ordinary refusal, not a fault of the set-up.
  bool lock_held = false;
  /// The process gave up root for the mailbox's user before the open failed: it acts for that user
  /// alone from now on and must serve no other login.
  bool user_changed = false;
  /// What is wrong, after the maildir's path in a log line: "new/: No such file or directory".
  std::array<char, 512> reason{};
};

/// Whose rights the mailbox is worked with.
enum class maildir_user {
  /// The process's own. The path is walked with the trust of path_trust_own, as root with the
  /// rules of a walk that may adopt a user, but nobody is become.
  process,
  /// For a process that runs as root: the one user who controls the maildir's path (path_walk with
  /// path_trust::adopt), whom the process becomes for good before it opens anything below the
  /// path, unless root alone controls it or another process holds the lock. A link in new/ then
  /// reaches only what that user could read, and an unlink removes only what the user could
  /// remove. A process that is not root works with its own rights, as for process. Only with a
  /// maildir_failure to report in: its user_changed tells the caller that the process acts for
  /// that user from now on; without one the process stays as it is.
  controller,
};

/// Removes the record lock and closes the lock file; \a lock_file is empty afterwards. Does nothing
/// to an empty one.
void maildir_unlock(unique_fd* lock_file);

/// An opened mailbox. Empty (no lock, no entries) or open (lock held, entries sorted).
struct maildir_snapshot {
  /// The lock file, open exactly while the lock is held. Never open the lock file anywhere else in
  /// the process: closing any descriptor of it drops the lock.
  unique_fd lock_file;
  std::uint64_t message_count = 0;  ///< entries.size()
  /// In mail_entry_compare order. Reserved once, at its final size, in page memory.
  std::vector<mail_entry, page_allocator<mail_entry>> entries;
  name_store names;            ///< where every entry's name lives
  std::string directory_path;  ///< "<maildir>/new", as the scan opened it; log lines name it
  /// The directory the scan read, kept open: messages are opened and unlinked by their names in
  /// it, so no path is formed again and a "new" renamed or replaced meanwhile is not followed.
  unique_fd directory;
};

/// Opens the maildir directory through path_walk (links on the path followed as its trust allows;
/// as a user other than root, every step above the maildir root's or the process user's) and its
/// "new" directory, which must not be a link. Then locks "fernd.lock" in the maildir without
/// waiting (never created where no "new" is) and snapshots the regular files (symbolic links
/// followed) of "new", oldest first. Returns true with the lock held and the snapshot filled, or
/// false with nothing held, the snapshot empty and, when \a failure is given, the reason there;
/// memory exhaustion is such a failure.
[[nodiscard]] bool maildir_open(maildir_snapshot* snapshot, const char* maildir,
                                maildir_failure* failure = nullptr,
                                maildir_user user = maildir_user::process);

/// Whether \a maildir is reached as maildir_open reaches it and holds a "new" directory that is no
/// symbolic link; the reason in \a failure when not. Becomes nobody and touches nothing.
[[nodiscard]] bool maildir_check(const char* maildir, maildir_failure* failure);

/// Releases the lock and discards the entries; the snapshot is empty afterwards. Does nothing to
/// an empty snapshot.
void maildir_close(maildir_snapshot* snapshot);

/// Opens message \a entry of the open \a snapshot for reading through the kept directory (a
/// symbolic link is followed, as the scan followed it). What it is is looked at first, and the
/// file opened only when it is a regular one, then checked to be that same file: a FIFO is never
/// opened, which would release a writer waiting on it, nor a device. None when it cannot be
/// opened or is no regular file (any more).
[[nodiscard]] unique_fd maildir_open_message(const maildir_snapshot& snapshot,
                                             const mail_entry& entry);

/// Unlinks message \a entry of the open \a snapshot from the kept directory. Returns 0 when it
/// was unlinked, else the system's error number.
[[nodiscard]] int maildir_unlink_message(const maildir_snapshot& snapshot, const mail_entry& entry);

/// Opens the lock file \a name in the directory \a directory_fd (created with mode 0600 less the
/// umask), never through a symbolic link and never waiting, takes an exclusive record lock over
/// all of it without waiting, then empties it. Returns the locked descriptor, or none when the
/// file cannot be opened, is no regular file, has another link (it would be another file's
/// name), or another process holds the lock; then \a failure, when given, says which.
[[nodiscard]] unique_fd maildir_lock(int directory_fd, const char* name,
                                     maildir_failure* failure = nullptr);

}  // namespace fernd

#endif  // FERND_MAILDIR_MAILDIR_H_
