// Message numbers, the transmission of a message file, the cleaning of user names for the log and
// the capability reply.
#include "pop3/pop3_wire.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fd_rw.h"

namespace fernd {
namespace {

// How much of a message file is read at a time: few system calls per message, and a buffer that
// stays the same size however large the message is.
constexpr std::size_t mail_read_size = 64 * 1024;

// The capability reply: both phases answer CAPA with exactly these bytes.
constexpr std::string_view capa_reply = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";

// Where the transmission stands in the byte stream of the file; carried across reads and output
// writes alike, so that neither boundary changes a single byte of the result.
struct transfer_state {
  bool line_start = true;  // the next byte begins a line: start of the file, or right after LF
  bool after_cr = false;   // the last byte of the file seen so far was CR
};

// Appends one byte to the output, writing the buffer first when it is full.
bool put_byte(connection& c, char byte) {
  if (c.output_used == c.output.size() && !connection_flush(c)) {
    return false;
  }
  c.output[c.output_used++] = byte;
  return !c.output_failed;
}

// Forms one block of file bytes in the output: every LF that no CR precedes gets one, every line
// that begins with '.' gets one more; all other bytes, NUL and lone CR included, pass unchanged.
bool transfer_block(transfer_state& state, std::string_view data, connection& c) {
  while (!data.empty()) {
    if (state.line_start && data.front() == '.' && !put_byte(c, '.')) {
      return false;
    }
    const std::size_t line_end = data.find('\n');
    const std::string_view piece = data.substr(0, line_end);
    if (!piece.empty()) {
      if (!connection_put(c, piece)) {
        return false;
      }
      state.after_cr = piece.back() == '\r';
      state.line_start = false;
    }
    if (line_end == std::string_view::npos) {
      return true;
    }
    if ((!state.after_cr && !put_byte(c, '\r')) || !put_byte(c, '\n')) {
      return false;
    }
    state.line_start = true;
    state.after_cr = false;
    data.remove_prefix(line_end + 1);
  }
  return true;
}

}  // namespace

int parse_msgnum(const char* text, std::uint64_t* number) {
  // strtoull would accept leading blanks and a sign, and read "-1" as the largest number.
  if (text[0] < '0' || text[0] > '9') {
    return 1;
  }
  char* end = nullptr;
  errno = 0;  // strtoull reports overflow only through errno, and never clears it
  const unsigned long long value = std::strtoull(text, &end, 10);
  *number = value;
  if (errno == ERANGE || *end != '\0' || value == 0) {
    return 1;
  }
  return 0;
}

bool send_mail_file(int message, connection& c) {
  std::array<char, mail_read_size> data;  // NOLINT: filled by read before it is looked at
  transfer_state state;
  for (;;) {
    const ssize_t got = fd_read(message, data.data(), data.size());
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    if (!transfer_block(state, {data.data(), static_cast<std::size_t>(got)}, c)) {
      return false;
    }
  }
  // The terminating ".\r\n" must begin a line of its own.
  return state.line_start || connection_put(c, "\r\n");
}

char* sanitize(char* text) {
  // The POSIX locale's control characters, spelled out so that no locale can widen the set.
  constexpr unsigned char delete_char = 127;
  for (char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < ' ' || byte == delete_char) {
      *p = '?';
    }
  }
  return text;
}

void send_capa(connection& c) {
  connection_send(c, capa_reply);
}

}  // namespace fernd
