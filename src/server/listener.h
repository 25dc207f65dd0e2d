// The standalone mode: a TCP listener that serves every connection in a session process of its
// own, at most 16 at a time.
#ifndef FERND_SERVER_LISTENER_H_
#define FERND_SERVER_LISTENER_H_

#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdint>

#include "common/account.h"
#include "log/session_log.h"

namespace fernd {

/// At most this many session processes run at once; a further client waits in the backlog.
constexpr int listener_session_limit = 16;

/// Seconds after a session that failed to authorize during which new sessions delay every password
/// check: long enough to slow a password-guessing client that reconnects at once.
constexpr std::int64_t listener_auth_delay_window = 61;

/// The listener's exit status when it cannot set up or go on serving.
constexpr int listener_failure_status = 3;

// The listener's state, shared between its loop and listener_reap, which changes it behind the
// loop's back. The loop only reads last_auth_failure, and only in a session process, where the
// fork froze a consistent pair with auth_failure_seen.

/// Session processes forked and not yet reaped.
extern volatile std::sig_atomic_t active_sessions;
/// Set once a session process has exited with status 2 or more (an authorization failure).
extern volatile std::sig_atomic_t auth_failure_seen;
/// Whole seconds of CLOCK_MONOTONIC when the latest such session process was reaped.
extern volatile std::int64_t last_auth_failure;

/// Binds \a interface (an IPv6 or IPv4 address text, never a name) and \a port and serves
/// connections until a signal ends the process. Returns only on failure, after writing its
/// message, prefixed with \a program, to standard error; the caller then exits with status 3.
int listener_run(const char* program, const char* interface, int port, int log_to_syslog,
                 const char* log_file, const account_list& accounts);

/// The SIGCHLD handler: reaps every ended session process, counts it down in active_sessions and
/// records the time of any that exited with status 2 or more. Touches nothing else; errno is left
/// as it was found. The arguments are not used.
void listener_reap(int signal_number, siginfo_t* info, void* context);

/// Whether a session that starts at \a now_seconds delays its password checks: only when a failure
/// was seen (\a failure_seen) and \a now_seconds stands less than 61 whole seconds past
/// \a last_failure. Both times are whole seconds of the same clock.
bool listener_auth_delay(int failure_seen, std::int64_t last_failure, std::int64_t now_seconds);

/// Runs one POP3 session on the connected socket \a connection, which it takes over and closes.
/// A read that waits \a idle_limit for data, a write that waits \a idle_limit for progress and a
/// write to a vanished client fail (SIGPIPE is ignored from here on), so each ends the session
/// through its input or output error path. Input and output are separate streams, so pipelined
/// commands are all answered. Returns the session status, or session_status_error when no stream
/// could be set up (no session runs then).
int session_process_serve(session_log* log, int connection, const account_list& accounts,
                          int auth_delay, std::chrono::milliseconds idle_limit);

/// What a session process does after the fork: decides on the authorization delay, ignores
/// SIGTERM, logs the connection from \a peer port \a peer_port, serves it with
/// session_process_serve and exits with the session status. Never returns.
[[noreturn]] void session_process_run(int connection, const char* peer, int peer_port,
                                      int log_to_syslog, const char* log_file,
                                      const account_list& accounts);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_H_
