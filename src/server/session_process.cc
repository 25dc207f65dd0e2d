// The life of a session process, from the fork to its exit.
#include "server/session_process.h"

#include <unistd.h>

#include <csignal>

#include "common/limits.h"
#include "common/posix_handle.h"
#include "log/session_log.h"
#include "server/session_serve.h"

namespace fernd {

void session_process_run(int connection, const pop3_client_address& client, int active_sessions,
                         bool auth_delay, startup_config& config) {
  unique_fd socket{connection};
  // A running session finishes even when the listener is terminated.
  (void)std::signal(SIGTERM, SIG_IGN);
  // The listener's reaping is not the session's: a session process has no sessions to count, and
  // a handler that interrupted it could only do harm. SIGCHLD gets its default action back.
  (void)std::signal(SIGCHLD, SIG_DFL);

  session_log log;
  log_open(config.log_to_syslog, config.log_file, &log);
  log_write(&log, log_info,
            "connection from %s port %d, active sessions %d (max %d), auth_delay=%s",
            client.text.data(), client.port, active_sessions, listener_session_limit,
            auth_delay ? "yes" : "no");
  const session_result result =
      session_serve(&log, socket.fd, socket.fd, config.accounts, auth_delay, session_idle_limit,
                    {.top = config.top, .resp_codes = config.resp_codes, .client = client});
  socket.reset();
  log_write(&log, log_info, "connection closed");
  log_close(&log);  // _exit runs no destructor
  // Everything the session opened is closed and written by now. _exit skips what exit would still
  // do for a process that has nothing left to write: walking and unbuffering every stdio stream
  // and running the library's destructors, which only copies pages shared with the listener.
  ::_exit(session_exit_status(result, session_mode::session_process));
}

}  // namespace fernd
