// What goes on the wire besides the connection's own lines: message numbers as clients write them,
// a message file in its wire form (CR LF line ends, dot-stuffed), the capability reply, and user
// names cleaned for the log.
#ifndef FERND_POP3_POP3_WIRE_H_
#define FERND_POP3_POP3_WIRE_H_

#include <cstdint>

#include "pop3/connection.h"

namespace fernd {

/// Parses a message number: ASCII digits only, 1 to 18446744073709551615, leading zeros allowed.
/// Returns 0 and sets \a number, or 1.
[[nodiscard]] int parse_msgnum(const char* text, std::uint64_t* number);

/// Sends the message file open on \a message into \a c's output, dot-stuffed, with every LF that
/// no CR precedes turned into CR LF and a final CR LF where the file lacks one. Every byte of the
/// file is sent, NUL and bare CR included. Does not send the terminating ".\r\n". Returns false on
/// a read error of the file or a failed write (then c.output_failed is set).
[[nodiscard]] bool send_mail_file(int message, connection& c);

/// Replaces every control character (1-31, 127) of \a text with '?', in place; returns \a text.
char* sanitize(char* text);

/// Appends the capability reply "+OK\r\nUSER\r\nUIDL\r\n.\r\n" to the output, as one piece; a
/// failed write is reported as connection_send reports it.
void send_capa(connection& c);

}  // namespace fernd

#endif  // FERND_POP3_POP3_WIRE_H_
