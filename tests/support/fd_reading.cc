#include "support/fd_reading.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace fernd {

bool read_until(int fd, std::string* text, std::chrono::steady_clock::time_point deadline,
                const std::function<bool(const std::string&)>& enough, std::size_t at_most) {
  std::array<char, 65536> buffer;  // NOLINT: filled by read before it is used
  while (!enough(*text) && text->size() < at_most) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) {
      continue;
    }
    if (polled <= 0) {
      return false;
    }
    const ssize_t got = ::read(fd, buffer.data(), std::min(buffer.size(), at_most - text->size()));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    text->append(buffer.data(), static_cast<std::size_t>(got));
  }
  return enough(*text);
}

std::string read_to_end(int fd, std::chrono::milliseconds limit) {
  std::string bytes;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  (void)read_until(fd, &bytes, deadline, [](const std::string&) { return false; });
  if (std::chrono::steady_clock::now() >= deadline) {
    ADD_FAILURE() << "the other side stayed open";
  }
  return bytes;
}

std::string read_exactly(int fd, std::size_t count, std::chrono::milliseconds limit) {
  std::string bytes;
  bytes.reserve(count);
  (void)read_until(
      fd, &bytes, std::chrono::steady_clock::now() + limit,
      [count](const std::string& text) { return text.size() >= count; }, count);
  return bytes;
}

void send_all(int fd, const std::string& bytes, std::size_t piece) {
  const std::size_t step = piece == 0 ? bytes.size() : piece;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const std::size_t count = std::min(step, bytes.size() - at);
    ASSERT_EQ(static_cast<ssize_t>(count), ::send(fd, bytes.data() + at, count, MSG_NOSIGNAL));
  }
}

}  // namespace fernd
