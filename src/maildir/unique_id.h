// The unique id that UIDL reports for a message: its file name where that is a valid id, else an
// id derived from the name. Whatever a mailbox's owner names a file, the id is printable and no
// longer than a client must accept, so it can neither break a listing nor forge a reply.
#ifndef FERND_MAILDIR_UNIQUE_ID_H_
#define FERND_MAILDIR_UNIQUE_ID_H_

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "maildir/mail_entry.h"

namespace fernd {

/// The longest unique id that a POP3 client must accept.
inline constexpr std::size_t unique_id_max = 70;

/// Room in which unique_id_of forms a derived id.
using unique_id_room = std::array<char, unique_id_max>;

/// Whether \a name is its own unique id: 1 to 70 bytes, each from '!' to '~', and not beginning
/// with "fernd-uid-", the form of the derived ids, which no file name can take.
[[nodiscard]] bool unique_id_is_name(std::string_view name);

/// Gives every entry of \a entries whose name is no valid id a derived one: "fernd-uid-" and 16
/// hexadecimal digits, the same for the same name in every session, unless it would equal another
/// derived id of the mailbox, which the next derivation of that name then avoids, as many times
/// as it takes: every id of the mailbox differs from every other. Throws std::bad_alloc when
/// memory runs out.
void unique_id_assign(std::span<mail_entry> entries);

/// The unique id of \a entry, formed in \a room where it is derived.
[[nodiscard]] std::string_view unique_id_of(const mail_entry& entry, unique_id_room& room);

}  // namespace fernd

#endif  // FERND_MAILDIR_UNIQUE_ID_H_
