// One message of a snapshot, as the scan of new/ saw it, and the order of messages. The bottom
// of the maildir module: the sort and the unique ids work on entries alone.
#ifndef FERND_MAILDIR_MAIL_ENTRY_H_
#define FERND_MAILDIR_MAIL_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace fernd {

/// The longest name of a directory entry, in bytes: what NAME_MAX allows.
inline constexpr std::size_t maildir_name_max = 255;

/// One message of a snapshot, as the scan saw it. 32 bytes: a big mailbox holds one per message
/// for a whole session, so the record stays small and its name lives in the snapshot's name store.
struct mail_entry {
  /// The directory entry's name, byte for byte, followed by a NUL: the unique id, unless it is
  /// none (maildir/unique_id.h).
  const char* name = nullptr;
  std::uint64_t file_size = 0;  ///< st_size at the scan (before any line-end conversion)
  std::int64_t mtime_sec = 0;   ///< st_mtim seconds
  std::int32_t mtime_nsec = 0;  ///< st_mtim nanoseconds, 0 to 999,999,999
  std::uint8_t name_size = 0;   ///< bytes of the name, without its NUL; at most maildir_name_max
  bool deleted = false;         ///< marked by DELE, cleared by RSET
  /// 0: the name is the unique id; n: the id is the name's n-th derivation (maildir/unique_id.h).
  std::uint16_t unique_id = 0;
};
static_assert(sizeof(mail_entry) <= 32, "one entry per message for a whole session");

/// Orders entries by modification time (seconds, then nanoseconds), then by name as strcmp does.
/// Returns a negative number, zero or a positive number.
[[nodiscard]] int mail_entry_compare(const mail_entry& a, const mail_entry& b);

}  // namespace fernd

#endif  // FERND_MAILDIR_MAIL_ENTRY_H_
