// The connection's buffers: line reading, output gathering and writing, and wiping.
#include "pop3/connection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/deadline.h"
#include "common/page_memory.h"
#include "common/secret.h"

namespace fernd {
namespace {

// The longest command line with its LF: pop3_line_size leaves room for a terminating NUL.
constexpr std::size_t longest_line = pop3_line_size - 1;

// Whether output gathers in the connection's own buffer, not in that of a wide transfer.
bool own_buffer_in_use(const connection& c) {
  return c.output.data() == c.own_output.data();
}

// Where the LF of the next whole line lies, or none when no whole line is buffered yet.
char* find_line_end(connection& c) {
  const std::size_t scan = std::min(c.input_end - c.input_start, longest_line);
  return static_cast<char*>(std::memchr(c.input.data() + c.input_start, '\n', scan));
}

// read(2) of what the client sends, made again after EINTR (a stop and continue of the process
// raises it on a socket with idle limits) unless the login deadline has passed.
ssize_t connection_read(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, data, size);
    if (got >= 0 || errno != EINTR || deadline_passed()) {
      return got;
    }
  }
}

// Writes all \a size bytes, going on after short writes and after EINTR unless the login deadline
// has passed. Returns whether every byte was written.
bool connection_write(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t step = ::write(fd, data, size);
    if (step < 0 && errno == EINTR && !deadline_passed()) {
      continue;
    }
    if (step <= 0) {
      return false;
    }
    data += step;
    size -= static_cast<std::size_t>(step);
  }
  return true;
}

// Ends a wide transfer, if one is open: the own buffer takes over again. The last bytes wait
// there, half of it at most, so that what the caller adds next (the end of the reply) leaves in
// the same write and the client meets no stall; the rest leaves now.
void end_wide_output(connection& c) {
  if (own_buffer_in_use(c)) {
    return;
  }
  const std::size_t keep = std::min(c.output_used, c.own_output.size() / 2);
  const std::size_t leave = c.output_used - keep;
  if (!c.output_failed && leave > 0 && !connection_write(c.output_fd, c.output.data(), leave)) {
    c.output_failed = true;
  }
  c.output_used = c.output_failed ? 0 : keep;
  std::memcpy(c.own_output.data(), c.output.data() + leave, c.output_used);
  c.output_touched = std::max(c.output_touched, c.output_used);
  c.output = c.own_output;
}

// Unmaps the transfer memory, if any, ending first a wide transfer that may gather output there.
void release_transfer_memory(connection& c) {
  end_wide_output(c);
  page_memory_unmap_huge(c.transfer_memory);
  c.transfer_memory = {};
}

}  // namespace

connection::~connection() {
  // Ends a wide transfer that is still open, so that output gathers in the own buffer again.
  release_transfer_memory(*this);
  secret_wipe(input.data(), input_touched);
  // The own buffer held output as far as it was ever filled.
  secret_wipe(own_output.data(), std::max(output_touched, output_used));
}

command_line read_line(connection& c, output_check check) {
  if (deadline_passed()) {
    return {line_status::deadline, nullptr};
  }
  // Each reply leaves before the next command is read, as a client that sends commands without
  // waiting expects: an output error is then found before the command after it is run.
  (void)connection_flush(c);  // a failure stays in the connection
  if (deadline_passed()) {
    return {line_status::deadline, nullptr};
  }
  if (check == output_check::before_reading && c.output_failed) {
    return {line_status::output_error, nullptr};
  }
  for (;;) {
    char* const begin = c.input.data() + c.input_start;
    char* const line_end = find_line_end(c);
    if (line_end != nullptr) {
      const auto length = static_cast<std::size_t>(line_end - begin);
      c.input_start += length + 1;
      // A NUL byte would cut the command short of what the client sent: the line is refused.
      if (std::memchr(begin, '\0', length) != nullptr) {
        return {};
      }
      *line_end = '\0';
      if (length > 0 && begin[length - 1] == '\r') {
        begin[length - 1] = '\0';
      }
      return {line_status::ready, begin};
    }
    const std::size_t available = c.input_end - c.input_start;
    if (available >= longest_line) {
      return {};  // too long to be a command: the rest is never run as one
    }
    // The bytes still to be read move to the front, so that a whole line always fits behind them.
    std::memmove(c.input.data(), begin, available);
    c.input_start = 0;
    c.input_end = available;
    // About to wait for the client: the memory of a long transfer goes back first.
    release_transfer_memory(c);
    const ssize_t got =
        connection_read(c.input_fd, c.input.data() + c.input_end, c.input.size() - c.input_end);
    if (got <= 0) {
      if (deadline_passed()) {
        return {line_status::deadline, nullptr};
      }
      return {};  // end of input, the idle limit, or a read error
    }
    c.input_end += static_cast<std::size_t>(got);
    c.input_touched = std::max(c.input_touched, c.input_end);
  }
}

void connection_wipe_input(connection& c) {
  const std::size_t keep = c.input_end - c.input_start;
  std::memmove(c.input.data(), c.input.data() + c.input_start, keep);
  secret_wipe(c.input.data() + keep, c.input_touched - keep);
  c.input_start = 0;
  c.input_end = keep;
}

bool connection_put(connection& c, std::string_view bytes) {
  while (!bytes.empty()) {
    if (c.output_used == c.output.size() && !connection_flush(c)) {
      return false;
    }
    if (c.output_failed) {
      return false;
    }
    const std::size_t part = std::min(bytes.size(), c.output.size() - c.output_used);
    std::memcpy(c.output.data() + c.output_used, bytes.data(), part);
    c.output_used += part;
    bytes.remove_prefix(part);
  }
  return !c.output_failed;
}

std::span<char> connection_reserve(connection& c, std::size_t size) {
  if (c.output.size() - c.output_used < size && !connection_flush(c)) {
    return {};
  }
  if (c.output_failed) {
    return {};
  }
  return {c.output.data() + c.output_used, c.output.size() - c.output_used};
}

bool connection_flush(connection& c) {
  if (c.output_failed) {
    return false;
  }
  const std::size_t pending = c.output_used;
  if (own_buffer_in_use(c)) {
    c.output_touched = std::max(c.output_touched, pending);
  }
  c.output_used = 0;
  if (pending > 0 && !connection_write(c.output_fd, c.output.data(), pending)) {
    c.output_failed = true;
  }
  return !c.output_failed;
}

std::span<char> connection_transfer_memory(connection& c) {
  if (c.transfer_memory.empty()) {
    c.transfer_memory = page_memory_map_huge();
  }
  return c.transfer_memory;
}

connection_wide_output::connection_wide_output(connection& client, std::span<char> buffer)
    : c(client) {
  if (own_buffer_in_use(c)) {
    c.output_touched = std::max(c.output_touched, c.output_used);
  }
  std::memcpy(buffer.data(), c.output.data(), c.output_used);
  c.output = buffer;
}

connection_wide_output::~connection_wide_output() {
  end_wide_output(c);
}

}  // namespace fernd
