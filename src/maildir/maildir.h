// Exclusive use of one Maildir mailbox and the numbered snapshot of the messages in its "new"
// directory. Message number n is entries[n - 1]; numbers never shift within a session, not even
// when messages are marked deleted.
#ifndef FERND_MAILDIR_MAILDIR_H_
#define FERND_MAILDIR_MAILDIR_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/page_memory.h"
#include "common/posix_handle.h"
#include "maildir/name_store.h"

namespace fernd {

/// Name of the lock file in every maildir; created on first use, never removed.
inline constexpr const char* maildir_lock_name = "fernd.lock";

/// The longest name of a directory entry, in bytes: what NAME_MAX allows.
inline constexpr std::size_t maildir_name_max = 255;

/// One message of a snapshot, as the scan saw it. 32 bytes: a big mailbox holds one per message
/// for a whole session, so the record stays small and its name lives in the snapshot's name store.
struct mail_entry {
  /// The directory entry's name, byte for byte, followed by a NUL; the UIDL.
  const char* name = nullptr;
  std::uint64_t file_size = 0;  ///< st_size at the scan (before any line-end conversion)
  std::int64_t mtime_sec = 0;   ///< st_mtim seconds
  std::int32_t mtime_nsec = 0;  ///< st_mtim nanoseconds, 0 to 999,999,999
  std::uint16_t name_size = 0;  ///< bytes of the name, without its NUL; at most maildir_name_max
  std::uint8_t deleted = 0;     ///< 1 once marked by DELE, 0 again after RSET
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

/// Locks "<maildir>/fernd.lock" without waiting, then snapshots the regular files (symbolic links
/// followed) of "<maildir>/new", oldest first. Returns 0 with the lock held and the snapshot
/// filled, or 1 with nothing held and the snapshot empty; memory exhaustion is such a failure.
[[nodiscard]] int maildir_open(maildir_snapshot* snapshot, const char* maildir);

/// Releases the lock and discards the entries; the snapshot is empty afterwards. Does nothing to
/// an empty snapshot.
void maildir_close(maildir_snapshot* snapshot);

/// Opens message \a entry of the open \a snapshot for reading, never waiting, through the kept
/// directory (a symbolic link is followed, as the scan followed it). None when it cannot be opened
/// or is no regular file (any more): a FIFO would block, a device stream without end.
[[nodiscard]] unique_fd maildir_open_message(const maildir_snapshot& snapshot,
                                             const mail_entry& entry);

/// Unlinks message \a entry of the open \a snapshot from the kept directory. Returns true when it
/// was unlinked.
[[nodiscard]] bool maildir_unlink_message(const maildir_snapshot& snapshot,
                                          const mail_entry& entry);

/// Opens (creating or truncating) the file \a lock_path, never through a symbolic link and never
/// waiting, and takes an exclusive record lock over all of it without waiting. Returns the locked
/// descriptor, or none when the file cannot be opened, is no regular file, or another process
/// holds the lock. The lock ends with the descriptor or with the process.
[[nodiscard]] unique_fd maildir_lock(const char* lock_path);

/// Orders entries by modification time (seconds, then nanoseconds), then by name as strcmp does.
/// Returns a negative number, zero or a positive number.
[[nodiscard]] int mail_entry_compare(const mail_entry& a, const mail_entry& b);

}  // namespace fernd

#endif  // FERND_MAILDIR_MAILDIR_H_
