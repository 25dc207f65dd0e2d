// Message numbers and TOP's arguments, the transmission of a message file (whole, or the part
// that TOP sends), the cleaning of user names for the log and the capability reply.
#include "pop3/pop3_wire.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fd_rw.h"

namespace fernd {
namespace {

// How much of a message file is read at a time: few system calls per message, and a buffer that
// stays the same size however large the message is.
constexpr std::size_t mail_read_size = 64 * 1024;

// The capability reply: both phases answer CAPA with exactly these bytes, or with the second when
// TOP is served.
constexpr std::string_view capa_reply = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";
constexpr std::string_view capa_reply_top = "+OK\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n";

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

namespace {

// Reads the decimal number that is all of \a text: digits only (no blank, no sign), at most 64
// bits, leading zeros allowed.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> parse_msgnum(std::string_view text) {
  const std::optional<std::uint64_t> number = parse_decimal(text);
  if (number == 0U) {
    return std::nullopt;  // messages are numbered from 1
  }
  return number;
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

std::optional<top_arguments> parse_top_arguments(std::string_view text) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> number = parse_msgnum(text.substr(0, blank));
  const std::optional<std::uint64_t> lines = parse_decimal(text.substr(blank + 1));
  if (!number || !lines) {
    return std::nullopt;
  }
  return top_arguments{*number, *lines};
}

namespace {

// Where TOP's part of a message file ends: after the header's empty line, then after as many more
// lines as asked for. Carried across read blocks, as the transmission's own state is.
struct top_part {
  std::uint64_t body_lines_left = 0;
  bool in_header = true;
  // The header line read so far, as much as tells whether it is empty: its size, counted up to 2,
  // and whether its first byte is CR. An empty line is LF alone or CR LF; any other CR is text.
  std::size_t line_size = 0;
  bool line_starts_with_cr = false;
};

// How much of \a data belongs to TOP's part; sets \a complete when the part ends within it.
std::size_t top_part_size(top_part& part, std::string_view data, bool* complete) {
  std::size_t at = 0;
  while (part.in_header) {
    const std::size_t line_end = data.find('\n', at);
    const std::string_view piece =
        data.substr(at, line_end == std::string_view::npos ? line_end : line_end - at);
    if (part.line_size == 0 && !piece.empty()) {
      part.line_starts_with_cr = piece.front() == '\r';
    }
    part.line_size = std::min<std::size_t>(part.line_size + piece.size(), 2);
    if (line_end == std::string_view::npos) {
      return data.size();
    }
    part.in_header = part.line_size != 0 && !(part.line_size == 1 && part.line_starts_with_cr);
    part.line_size = 0;
    at = line_end + 1;
  }
  for (; part.body_lines_left > 0; --part.body_lines_left) {
    const std::size_t line_end = data.find('\n', at);
    if (line_end == std::string_view::npos) {
      return data.size();
    }
    at = line_end + 1;
  }
  *complete = true;
  return at;
}

}  // namespace

bool send_mail_top(int message, std::uint64_t body_lines, connection& c) {
  std::array<char, mail_read_size> data;  // NOLINT: filled by read before it is looked at
  transfer_state state;
  top_part part;
  part.body_lines_left = body_lines;
  bool complete = false;
  // The part ends right after an LF, where the transmission stands at a line start; or with the
  // file, where the final line end is added as for the whole file.
  while (!complete) {
    const ssize_t got = fd_read(message, data.data(), data.size());
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    const std::string_view block(data.data(), static_cast<std::size_t>(got));
    if (!transfer_block(state, block.substr(0, top_part_size(part, block, &complete)), c)) {
      return false;
    }
  }
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

void send_capa(connection& c, bool with_top) {
  connection_send(c, with_top ? capa_reply_top : capa_reply);
}

}  // namespace fernd
