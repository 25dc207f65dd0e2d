// What goes on the wire besides the connection's own lines: message numbers as clients write them,
// a message file in its wire form (CR LF line ends, dot-stuffed), whole or its header and first
// lines for TOP, and user names cleaned for the log.
#ifndef FERND_POP3_POP3_WIRE_H_
#define FERND_POP3_POP3_WIRE_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "pop3/connection.h"

namespace fernd {

/// Parses a message number: ASCII digits only, 1 to 18446744073709551615, leading zeros allowed.
/// None for anything else.
[[nodiscard]] std::optional<std::uint64_t> parse_msgnum(std::string_view text);

/// TOP's two arguments.
struct top_arguments {
  std::uint64_t number = 0;  ///< the message, 1 or more
  std::uint64_t lines = 0;   ///< how many lines of the body
};

/// Parses TOP's arguments: a message number as parse_msgnum takes it, exactly one blank, and a
/// line count of ASCII digits only, 0 to 18446744073709551615, leading zeros allowed. None for
/// anything else.
[[nodiscard]] std::optional<top_arguments> parse_top_arguments(std::string_view text);

/// Sends the message file open on \a message into \a c's output, dot-stuffed, with every LF that
/// no CR precedes turned into CR LF and a final CR LF where the file lacks one. Every byte of the
/// file is sent, NUL and bare CR included. Does not send the terminating ".\r\n". Returns false on
/// a read error of the file or a failed write (then c.output_failed is set).
[[nodiscard]] bool send_mail_file(int message, connection& c);

/// Sends the start of the message file open on \a message as send_mail_file sends the whole: its
/// header (the lines up to and including the first empty line; a file without one is all header),
/// then at most \a body_lines lines of the body. A line is what send_mail_file sends as one, so the
/// bytes are a prefix of send_mail_file's, and all of them when the body has no more lines. Reads
/// no further than the read block in which that part ends. Same results as send_mail_file.
[[nodiscard]] bool send_mail_top(int message, std::uint64_t body_lines, connection& c);

/// Replaces every control character (1-31, 127) of \a text with '?', in place; returns \a text.
char* sanitize(char* text);

}  // namespace fernd

#endif  // FERND_POP3_POP3_WIRE_H_
