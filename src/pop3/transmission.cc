// The transmission of a message file, whole or the part that TOP sends: its wire form formed
// straight in the connection's output.
#include "pop3/transmission.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "common/fd_rw.h"
#include "common/page_memory.h"

namespace fernd {
namespace {

// How much of a message file is read at a time: few system calls per message, and a buffer that
// stays the same size however large the message is.
constexpr std::size_t mail_read_size = 64 * 1024;

// A long message is sent through the connection's transfer memory: the first half takes the
// reads of the file, the second is the buffer of a wide transfer (connection_wide_output), so that
// reads and writes of a mebibyte cost less CPU per byte than those of 64 KiB. A message shorter
// than one such read is sent through the small buffers: mapping and populating the memory would
// cost it more than the larger reads and writes save (docs/performance.md).
constexpr std::size_t wide_read_size = page_memory_huge_page / 2;
constexpr std::size_t wide_transfer_least = wide_read_size;

// Room that transfer_block asks the output for before it forms the next part of a block: the
// output leaves in writes at most this much short of a full buffer.
constexpr std::size_t transfer_room_least = 1024;

// Where the transmission stands in the byte stream of the file; carried across reads and output
// writes alike, so that neither boundary changes a single byte of the result.
struct transfer_state {
  bool line_start = true;  // the next byte begins a line: start of the file, or right after LF
  bool after_cr = false;   // the last byte of the file seen so far was CR
};

// Forms the wire form of \a data at \a out, which has room for twice as many bytes: every LF that
// no CR precedes gets one, every line that begins with '.' gets one more, so no byte becomes more
// than two. Returns the end of what was formed.
char* transfer_form(transfer_state& state, std::string_view data, char* out) {
  const char* next = data.data();
  const char* const end = next + data.size();
  while (next != end) {
    if (state.line_start && *next == '.') {
      *out++ = '.';
    }
    const auto* const line_end =
        static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
    const auto length = static_cast<std::size_t>((line_end == nullptr ? end : line_end) - next);
    std::memcpy(out, next, length);
    out += length;
    if (length > 0) {
      state.after_cr = next[length - 1] == '\r';
      state.line_start = false;
    }
    if (line_end == nullptr) {
      break;
    }
    if (!state.after_cr) {
      *out++ = '\r';
    }
    *out++ = '\n';
    state.line_start = true;
    state.after_cr = false;
    next = line_end + 1;
  }
  return out;
}

// Forms one block of file bytes in the output: every LF that no CR precedes gets one, every line
// that begins with '.' gets one more; all other bytes, NUL and lone CR included, pass unchanged.
// Each part goes straight into room of the output that surely holds its wire form.
bool transfer_block(transfer_state& state, std::string_view data, connection& c) {
  while (!data.empty()) {
    const std::span<char> room = connection_reserve(c, transfer_room_least);
    if (room.empty()) {
      return false;
    }
    const std::string_view part = data.substr(0, room.size() / 2);
    char* const end = transfer_form(state, part, room.data());
    connection_commit(c, static_cast<std::size_t>(end - room.data()));
    data.remove_prefix(part.size());
  }
  return true;
}

// Sends the file from its current position in blocks read into \a block.
bool transfer_file(int message, std::span<char> block, connection& c) {
  transfer_state state;
  for (;;) {
    const ssize_t got = fd_read(message, block.data(), block.size());
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    if (!transfer_block(state, {block.data(), static_cast<std::size_t>(got)}, c)) {
      return false;
    }
  }
  // The terminating ".\r\n" must begin a line of its own.
  return state.line_start || connection_put(c, "\r\n");
}

// Whether the message open on \a message is long enough for a transfer buffer of its own.
bool wide_transfer(int message) {
  struct stat status {};
  return ::fstat(message, &status) == 0 &&
         static_cast<std::uint64_t>(status.st_size) >= wide_transfer_least;
}

// Sends the file through the small buffers: a read block on the stack and the connection's own
// output buffer.
bool send_small(int message, connection& c) {
  std::array<char, mail_read_size> data;  // NOLINT: filled by read before it is looked at
  return transfer_file(message, data, c);
}

}  // namespace

bool send_mail_file(int message, connection& c) {
  const std::span<char> memory =
      wide_transfer(message) ? connection_transfer_memory(c) : std::span<char>();
  if (memory.empty()) {
    return send_small(message, c);
  }
  bool sent = false;
  {
    const connection_wide_output wide(c, memory.subspan(wide_read_size));
    sent = transfer_file(message, memory.first(wide_read_size), c);
  }
  return sent && !c.output_failed;
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

}  // namespace fernd
