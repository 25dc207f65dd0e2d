// For tests only: the step of a session process that serves the connection, with an idle limit of
// the test's choosing. Production code reaches it through session_process_run.
#ifndef FERND_SERVER_SESSION_PROCESS_TESTING_H_
#define FERND_SERVER_SESSION_PROCESS_TESTING_H_

#include <chrono>

#include "common/account.h"
#include "log/session_log.h"

namespace fernd {

/// Runs one POP3 session on the connected socket \a connection, which it takes over and closes.
/// A read that waits \a idle_limit for data, a write that waits \a idle_limit for progress and a
/// write to a vanished client fail (SIGPIPE is ignored from here on), so each ends the session
/// through its input or output error path. Input and output are separate streams, so pipelined
/// commands are all answered. Returns the session status, or session_status_error when no stream
/// could be set up (no session runs then).
int session_process_serve(session_log* log, int connection, const account_list& accounts,
                          int auth_delay, std::chrono::milliseconds idle_limit);

}  // namespace fernd

#endif  // FERND_SERVER_SESSION_PROCESS_TESTING_H_
