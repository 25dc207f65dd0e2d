#include "server/session_process.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <utility>

#include "common/posix_handle.h"
#include "pop3/pop3_session.h"
#include "server/connection.h"
#include "server/listener.h"
#include "server/session_process_testing.h"

namespace fernd {

int session_process_serve(session_log* log, int connection, const account_list& accounts,
                          int auth_delay, std::chrono::milliseconds idle_limit) {
  unique_fd input_fd{connection};
  // A client that goes away mid-reply must end the session through its output-error path, with
  // the mailbox released and the log complete, not kill the process.
  connection_ignore_sigpipe();
  // Without the limits a client that vanished without a word would hold its mailbox lock and a
  // session slot for ever. When they cannot be set, the session runs as it would without them.
  (void)connection_prepare(input_fd.fd, idle_limit);

  // Two streams on the one connection: a single read-write stream drops the input it has buffered
  // when a reply is written, and a client that sends several commands at once would hang.
  unique_fd output_fd{::dup(input_fd.fd)};
  unique_file input;
  unique_file output;
  if (output_fd.fd >= 0) {
    input = connection_stream(std::move(input_fd), connection_direction::input);
    output = connection_stream(std::move(output_fd), connection_direction::output);
  }
  if (!input || !output) {
    log_write(log, log_error, "cannot set up the connection's streams, session aborted");
    return session_status_error;
  }
  const int status =
      pop3_session(log, input.get(), output.get(), accounts.data(), accounts.size(), auth_delay);
  // Whatever the session left unsent goes out before the connection closes.
  output.reset();
  input.reset();
  return status;
}

void session_process_run(int connection, const char* peer, int peer_port, int active_sessions,
                         bool auth_delay, const startup_config& config) {
  // A running session finishes even when the listener is terminated.
  (void)std::signal(SIGTERM, SIG_IGN);
  // The listener's reaping is not the session's: a session process has no sessions to count, and
  // a handler that interrupted it could only do harm. SIGCHLD gets its default action back. (The
  // listener never forks while it blocks SIGCHLD, so the mask needs nothing.)
  (void)std::signal(SIGCHLD, SIG_DFL);

  session_log log;
  log_open(config.log_to_syslog ? 1 : 0, config.log_file, &log);
  log_write(&log, log_info,
            "connection from %s port %d, active sessions %d (max %d), auth_delay=%s", peer,
            peer_port, active_sessions, listener_session_limit, auth_delay ? "yes" : "no");
  const int status = session_process_serve(&log, connection, config.accounts, auth_delay ? 1 : 0,
                                           session_idle_limit);
  log_write(&log, log_info, "connection closed");
  if (log.threshold <= log_error) {
    log_close(&log);
  }
  // Everything the session opened is closed and flushed by now. _exit skips what exit would still
  // do for a process that has nothing left to write: walking and unbuffering every stdio stream
  // and running the library's destructors, which only copies pages shared with the listener.
  ::_exit(status);
}

}  // namespace fernd
