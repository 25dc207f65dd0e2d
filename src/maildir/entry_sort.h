// Putting a snapshot's entries in message order. A big mailbox is sorted at every login, so the
// sort avoids comparing and moving whole entries where it can.
#ifndef FERND_MAILDIR_ENTRY_SORT_H_
#define FERND_MAILDIR_ENTRY_SORT_H_

#include <cstddef>

#include "maildir/mail_entry.h"

namespace fernd {

/// Puts \a entries[0, count) in mail_entry_compare order: by modification time, then by name.
/// In place: it allocates nothing.
void mail_entry_sort(mail_entry* entries, std::size_t count);

}  // namespace fernd

#endif  // FERND_MAILDIR_ENTRY_SORT_H_
