// The connection's buffers: line reading, output gathering and writing, and wiping.
#include "pop3/connection.h"

#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/clock.h"
#include "common/fd_rw.h"
#include "common/secret.h"

namespace fernd {
namespace {

// The longest command line with its LF: pop3_line_size leaves room for a terminating NUL.
constexpr std::size_t longest_line = pop3_line_size - 1;

// Whether output gathers in the connection's own buffer, not in one lent to it.
bool own_buffer_in_use(const connection& c) {
  return c.output.data() == c.own_output.data();
}

// Unmaps the transfer memory, if any. Output must not be gathering there.
void release_transfer_memory(connection& c) {
  if (!c.transfer_memory.empty()) {
    (void)::munmap(c.transfer_memory.data(), c.transfer_memory.size());
    c.transfer_memory = {};
  }
}

// Where the LF of the next whole line lies, or none when no whole line is buffered yet.
char* find_line_end(connection& c) {
  const std::size_t scan = std::min(c.input_end - c.input_start, longest_line);
  return static_cast<char*>(std::memchr(c.input.data() + c.input_start, '\n', scan));
}

// What a wait for input found.
enum class input_wait { ready, idle, deadline };

// Waits until \a c's input has data, its deadline has passed, or its idle limit has passed without
// data. A poll that fails for another reason than a signal leaves the verdict to the read.
input_wait wait_for_input(const connection& c) {
  constexpr std::int64_t ns_per_ms = 1'000'000;
  const std::int64_t start_ns = clock_monotonic_ns();
  for (;;) {
    const std::int64_t now_ns = clock_monotonic_ns();
    std::int64_t left_ns = c.deadline_ns - now_ns;
    if (left_ns <= 0) {
      return input_wait::deadline;
    }
    if (c.idle_limit_ns != 0) {
      const std::int64_t idle_left_ns = start_ns + c.idle_limit_ns - now_ns;
      if (idle_left_ns <= 0) {
        return input_wait::idle;
      }
      left_ns = std::min(left_ns, idle_left_ns);
    }
    pollfd wanted{c.input_fd, POLLIN, 0};
    // Rounded up, so that the wait never ends just short of its end and spins.
    const auto left_ms = static_cast<int>(std::min<std::int64_t>(
        (left_ns + ns_per_ms - 1) / ns_per_ms, std::numeric_limits<int>::max()));
    const int ready = ::poll(&wanted, 1, left_ms);
    if (ready > 0 || (ready < 0 && errno != EINTR)) {
      return input_wait::ready;
    }
  }
}

}  // namespace

connection::~connection() {
  release_transfer_memory(*this);
  secret_wipe(input.data(), input_touched);
  // A lent buffer is the lender's to free; the own one held output as far as it was ever filled.
  secret_wipe(own_output.data(),
              own_buffer_in_use(*this) ? std::max(output_touched, output_used) : output_touched);
}

command_line read_line(connection& c, output_check check) {
  // Each reply leaves before the next command is read, as a client that sends commands without
  // waiting expects: an output error is then found before the command after it is run.
  (void)connection_flush(c);  // a failure stays in the connection
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
    if (c.deadline_ns != 0) {
      const input_wait waited = wait_for_input(c);
      if (waited == input_wait::deadline) {
        return {line_status::deadline, nullptr};
      }
      if (waited == input_wait::idle) {
        return {};  // as the read would have failed
      }
    }
    const ssize_t got =
        fd_read(c.input_fd, c.input.data() + c.input_end, c.input.size() - c.input_end);
    if (got <= 0) {
      return {};  // end of input, the idle limit, or a read error
    }
    c.input_end += static_cast<std::size_t>(got);
    c.input_touched = std::max(c.input_touched, c.input_end);
  }
}

void connection_set_deadline(connection& c, std::chrono::milliseconds limit) {
  c.deadline_ns =
      clock_monotonic_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count();
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
  if (pending > 0 && fd_write_all(c.output_fd, c.output.data(), pending) != pending) {
    c.output_failed = true;
  }
  return !c.output_failed;
}

std::span<char> connection_transfer_memory(connection& c) {
  if (!c.transfer_memory.empty()) {
    return c.transfer_memory;
  }
  constexpr std::size_t size = connection_transfer_size;
  // Twice the size is mapped, and all but an aligned part of it given back.
  void* const region =
      ::mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) {
    return {};
  }
  const auto start = reinterpret_cast<std::uintptr_t>(region);
  const std::uintptr_t aligned = (start + size - 1) & ~(std::uintptr_t{size} - 1);
  if (aligned > start) {
    (void)::munmap(region, aligned - start);
  }
  if (start + 2 * size > aligned + size) {
    (void)::munmap(reinterpret_cast<void*>(aligned + size), start + 2 * size - (aligned + size));
  }
  c.transfer_memory = {reinterpret_cast<char*>(aligned), size};
  // Best effort: without huge pages or the populate advice, the pages fault in one by one.
  (void)::madvise(c.transfer_memory.data(), size, MADV_HUGEPAGE);
  (void)::madvise(c.transfer_memory.data(), size, MADV_POPULATE_WRITE);
  return c.transfer_memory;
}

void connection_lend_buffer(connection& c, std::span<char> buffer) {
  if (own_buffer_in_use(c)) {
    c.output_touched = std::max(c.output_touched, c.output_used);
  }
  std::memcpy(buffer.data(), c.output.data(), c.output_used);
  c.output = buffer;
}

bool connection_return_buffer(connection& c) {
  if (own_buffer_in_use(c)) {
    return !c.output_failed;
  }
  // The last bytes wait in the own buffer, half of it at most, so that what the caller adds next
  // (the end of the reply) leaves in the same write and the client meets no stall; the rest
  // leaves now.
  const std::size_t keep = std::min(c.output_used, c.own_output.size() / 2);
  const std::size_t leave = c.output_used - keep;
  if (!c.output_failed && leave > 0 && fd_write_all(c.output_fd, c.output.data(), leave) != leave) {
    c.output_failed = true;
  }
  c.output_used = c.output_failed ? 0 : keep;
  std::memcpy(c.own_output.data(), c.output.data() + leave, c.output_used);
  c.output_touched = std::max(c.output_touched, c.output_used);
  c.output = c.own_output;
  return !c.output_failed;
}

}  // namespace fernd
