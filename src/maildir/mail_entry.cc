// The order of messages: by modification time, then by name.
#include "maildir/mail_entry.h"

#include <cstring>

namespace fernd {

int mail_entry_compare(const mail_entry& a, const mail_entry& b) {
  if (a.mtime_sec != b.mtime_sec) {
    return a.mtime_sec < b.mtime_sec ? -1 : 1;
  }
  if (a.mtime_nsec != b.mtime_nsec) {
    return a.mtime_nsec < b.mtime_nsec ? -1 : 1;
  }
  // Byte by byte as unsigned values, a prefix first. Directory entry names hold no NUL.
  return std::strcmp(a.name, b.name);
}

}  // namespace fernd
