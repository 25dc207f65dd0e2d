// The one way into a POP3 session, for both run modes: inetd mode serves standard input and
// output, a session process serves its socket as input and output. What a session needs of the
// descriptors it runs on is set up here: a client that vanishes or stops talking must end the
// session through its error paths, never hang it or kill it.
#ifndef FERND_SERVER_SESSION_SERVE_H_
#define FERND_SERVER_SESSION_SERVE_H_

#include <chrono>
#include <span>

#include "common/account.h"
#include "common/limits.h"
#include "log/session_log.h"
#include "pop3/pop3_session.h"

namespace fernd {

/// Which process a session runs in; each reports the session's result in its own exit statuses.
enum class session_mode {
  inetd,            ///< the whole program: 0 when the client quit and no login failed, else 1
  session_process,  ///< a listener's child: 0, 1, or 2 when a login failed
};

/// The exit status that reports \a result in \a mode.
[[nodiscard]] int session_exit_status(session_result result, session_mode mode);

/// When \a fd is a socket: a read that waits \a idle_limit without data, and a write that waits
/// \a idle_limit without progress, fail; a TCP socket also sends small writes at once. Returns
/// true when \a fd is a socket and the options were set, false otherwise (nothing changed).
[[nodiscard]] bool session_socket_prepare(int fd, std::chrono::milliseconds idle_limit);

/// Runs one POP3 session reading from \a input_fd and writing to \a output_fd (the same socket in
/// a session process), which stay open. Writes to a vanished client fail with EPIPE instead of
/// killing the process (SIGPIPE is ignored from here on); on a socket, a read that waits
/// \a idle_limit for data and a write that waits as long for progress end the session. A client
/// that has not logged in \a login_limit after the start is let go, on any descriptor, whatever
/// the session waits for then (common/deadline.h: the process's SIGALRM is the session's until it
/// returns). \a options go to the session as they are.
[[nodiscard]] session_result session_serve(
    session_log* log, int input_fd, int output_fd, std::span<account> accounts, bool auth_delay,
    std::chrono::milliseconds idle_limit = session_idle_limit, pop3_options options = {},
    std::chrono::milliseconds login_limit = session_login_limit);

}  // namespace fernd

#endif  // FERND_SERVER_SESSION_SERVE_H_
