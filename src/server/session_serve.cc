// Serving one session on a pair of descriptors, and the exit statuses that report it.
#include "server/session_serve.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <csignal>

#include "common/deadline.h"
#include "common/exit_status.h"
#include "pop3/connection.h"

namespace fernd {

int session_exit_status(session_result result, session_mode mode) {
  switch (result) {
    case session_result::quit:
      return exit_status_ok;
    case session_result::aborted:
      return exit_status_session_failed;
    case session_result::auth_failed:
      // The listener learns of failed logins from this status alone; inetd's callers only need
      // to know that the session did not end well.
      return mode == session_mode::session_process ? exit_status_auth_failed
                                                   : exit_status_session_failed;
  }
  return exit_status_session_failed;
}

bool session_socket_prepare(int fd, std::chrono::milliseconds idle_limit) {
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
    return false;  // not a socket: a pipe or a terminal has no such limits to set
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(idle_limit);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(idle_limit - seconds);
  const timeval limit{static_cast<time_t>(seconds.count()),
                      static_cast<suseconds_t>(micros.count())};
  // With these, a blocked read or write fails with EAGAIN, which the connection reports as an
  // input or output error: the session ends as it does when the client goes away.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return false;
  }
  int domain = 0;
  length = sizeof domain;
  if (type == SOCK_STREAM && ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
      (domain == AF_INET || domain == AF_INET6)) {
    // The connection gathers whole batches of replies itself; waiting for the client's delayed ACK
    // before the last small piece of one would only stall it.
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return true;
}

session_result session_serve(session_log* log, int input_fd, int output_fd,
                             std::span<account> accounts, bool auth_delay,
                             std::chrono::milliseconds idle_limit, pop3_options options,
                             std::chrono::milliseconds login_limit) {
  // A client that goes away mid-reply must end the session through its output-error path, with
  // the mailbox released and the log complete, not kill the process.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Without the limits a client that vanished without a word would hold its mailbox lock and a
  // session slot for ever. Pipes and terminals have none to set; the session runs without them.
  (void)session_socket_prepare(input_fd, idle_limit);
  if (output_fd != input_fd) {
    (void)session_socket_prepare(output_fd, idle_limit);
  }
  connection client(input_fd, output_fd);
  // One timer bounds every wait until the login, reads and writes alike; the session disarms it
  // once the client has logged in, and it never outlives the session.
  deadline_arm(login_limit);
  const session_result result = pop3_session(log, client, accounts, auth_delay, options);
  deadline_disarm();
  return result;
}

}  // namespace fernd
