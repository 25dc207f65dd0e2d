// The exit statuses of the fernd process, whichever part of it ends the process.
#ifndef FERND_COMMON_EXIT_STATUS_H_
#define FERND_COMMON_EXIT_STATUS_H_

namespace fernd {

/// --version or --help printed, or an inetd session that the client ended with QUIT and in which
/// no login failed.
constexpr int exit_status_ok = 0;

/// An inetd session that was aborted or in which a login failed.
constexpr int exit_status_session_failed = 1;

/// A session process whose session saw a failed login, however it ended. The listener reads it (and
/// exit_status_fatal, which may mean the same) to slow down the password checks that follow.
constexpr int exit_status_auth_failed = 2;

/// Nothing sensible is left to do: a start-up error, a listener that cannot serve, memory
/// exhausted. The message is on standard error.
constexpr int exit_status_fatal = 3;

}  // namespace fernd

#endif  // FERND_COMMON_EXIT_STATUS_H_
