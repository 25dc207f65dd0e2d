// A session process: the child that the listener forks for one connection. It runs one POP3
// session on the connection and exits with a status that reports the session, which is all the
// listener learns.
#ifndef FERND_SERVER_SESSION_PROCESS_H_
#define FERND_SERVER_SESSION_PROCESS_H_

#include "pop3/pop3_session.h"
#include "server/startup_config.h"

namespace fernd {

/// Runs the session on \a connection (taken over) from \a client and exits with
/// its status: takes back the dispositions the listener set for itself, ignores SIGTERM, opens its
/// own log and logs the connection with \a active_sessions (this one included) and \a auth_delay,
/// serves the connection, logs its end. \a config is this process's own copy: the session wipes
/// the passwords it does not need from it. Never returns.
[[noreturn]] void session_process_run(int connection, const pop3_client_address& client,
                                      int active_sessions, bool auth_delay, startup_config& config);

}  // namespace fernd

#endif  // FERND_SERVER_SESSION_PROCESS_H_
