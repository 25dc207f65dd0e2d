#include "server/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <csignal>

namespace fernd {

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
