// The pieces a POP3 dialogue is built from: reading one command line, parsing a message number,
// transmitting a message file, cleaning a user name for the log and the capability reply.
#ifndef FERND_POP3_POP3_IO_H_
#define FERND_POP3_POP3_IO_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/limits.h"

namespace fernd {

/// Reads one LF-terminated line into \a buffer and strips the LF and one CR before it. Returns 0,
/// or 1 on end of input, a read error, a line too long for \a size, a last line without LF, or a
/// line that begins with a NUL byte.
int read_line(std::FILE* input, char* buffer, std::size_t size);

/// Wipes what \a input holds in its buffer besides the bytes still to be read: the lines already
/// handed out, among them a password, and what is left of earlier reads. Works on glibc streams.
void wipe_consumed_input(std::FILE* input);

/// Parses a message number: ASCII digits only, 1 to 18446744073709551615, leading zeros allowed.
/// Returns 0 and sets \a number, or 1.
int parse_msgnum(const char* text, std::uint64_t* number);

/// Sends one message file, dot-stuffed, with every LF that no CR precedes turned into CR LF and a
/// final CR LF where the file lacks one. Every byte of the file is sent, NUL and bare CR included.
/// Does not send the terminating ".\r\n". Returns 0, or 1 on a read or write error.
int send_mail_file(std::FILE* message, std::FILE* output);

/// Replaces every control character (1-31, 127) of \a text with '?', in place; returns \a text.
char* sanitize(char* text);

/// Writes the capability reply "+OK\r\nUSER\r\nUIDL\r\n.\r\n" in one write.
void send_capa(std::FILE* output);

}  // namespace fernd

#endif  // FERND_POP3_POP3_IO_H_
