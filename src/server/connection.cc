#include "server/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>

#include "common/fd_io.h"
#include "common/secret.h"

namespace fernd {

namespace {

// The stream buffer of either direction: the size that the system gives a stream on a socket or a
// pipe, so that replies and blocks leave in the same writes as on a plain stream.
constexpr std::size_t connection_buffer_size = 4096;

// What a connection stream reads from and writes to, with the buffer that the stream uses.
struct connection_cookie {
  int fd = -1;
  std::array<char, connection_buffer_size> buffer{};
};

ssize_t connection_cookie_read(void* cookie, char* data, std::size_t size) {
  return fd_read(static_cast<connection_cookie*>(cookie)->fd, data, size);
}

ssize_t connection_cookie_write(void* cookie, const char* data, std::size_t size) {
  // Anything short of the whole piece marks the stream as failed, which is what the session tests.
  const std::size_t written = fd_write_all(static_cast<connection_cookie*>(cookie)->fd, data, size);
  return written == 0 && size > 0 ? -1 : static_cast<ssize_t>(written);
}

int connection_cookie_close(void* cookie) {
  std::unique_ptr<connection_cookie> owned{static_cast<connection_cookie*>(cookie)};
  secret_wipe(owned->buffer.data(), owned->buffer.size());
  return ::close(owned->fd);
}

}  // namespace

unique_file connection_stream(unique_fd fd, connection_direction direction) {
  std::unique_ptr<connection_cookie> cookie{new (std::nothrow) connection_cookie};
  if (cookie == nullptr) {
    return nullptr;
  }
  cookie->fd = fd.fd;
  cookie_io_functions_t functions{};
  const bool input = direction == connection_direction::input;
  if (input) {
    functions.read = connection_cookie_read;
  } else {
    functions.write = connection_cookie_write;
  }
  functions.close = connection_cookie_close;
  unique_file stream{::fopencookie(cookie.get(), input ? "r" : "w", functions)};
  if (stream == nullptr) {
    return nullptr;
  }
  // From here on the stream owns both: closing it closes the descriptor and frees the cookie.
  (void)fd.release();
  connection_cookie* owned = cookie.release();
  (void)std::setvbuf(stream.get(), owned->buffer.data(), _IOFBF, owned->buffer.size());
  return stream;
}

void connection_ignore_sigpipe() {
  (void)std::signal(SIGPIPE, SIG_IGN);
}

int connection_prepare(int fd, std::chrono::milliseconds idle_limit) {
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
    return 1;  // not a socket: a pipe or a terminal has no such limits to set
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(idle_limit);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(idle_limit - seconds);
  const timeval limit{static_cast<time_t>(seconds.count()),
                      static_cast<suseconds_t>(micros.count())};
  // With these, a blocked read or write fails with EAGAIN, which the session's streams report as
  // an input or output error: the session ends as it does when the client goes away.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return 1;
  }
  int domain = 0;
  length = sizeof domain;
  if (type == SOCK_STREAM && ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
      (domain == AF_INET || domain == AF_INET6)) {
    // The session gathers its output into whole replies and large blocks itself; waiting for the
    // client's delayed ACK before the last small piece of a reply would only stall it.
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return 0;
}

}  // namespace fernd
