// A message file on the wire: its wire form (CR LF line ends, dot-stuffed, every other byte as it
// is), whole for RETR or its header and first lines for TOP, formed in the connection's output.
#ifndef FERND_POP3_TRANSMISSION_H_
#define FERND_POP3_TRANSMISSION_H_

#include <cstdint>

#include "pop3/connection.h"

namespace fernd {

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

}  // namespace fernd

#endif  // FERND_POP3_TRANSMISSION_H_
