// The standalone mode: a TCP listener that serves every connection in a session process of its
// own, at most listener_session_limit at a time. It owns the listening socket and the loop that
// accepts, forks and reaps; the loop keeps the count of sessions and the authorization-delay window
// to itself.
#ifndef FERND_SERVER_LISTENER_H_
#define FERND_SERVER_LISTENER_H_

#include "common/limits.h"
#include "common/posix_handle.h"
#include "server/startup_config.h"

namespace fernd {

/// Whether \a interface is an address that the listener can listen on: an IPv6 or IPv4 address
/// text, never a name.
[[nodiscard]] bool listener_interface_valid(const char* interface);

/// Creates a TCP socket bound to the configured interface (an IPv6 or IPv4 address text, never a
/// name) and port, listening. Returns it, or none (-1) after writing the failure, prefixed with
/// \a program, to standard error.
[[nodiscard]] unique_fd listener_bind(const char* program, const startup_config& config);

/// Serves the connections that arrive on \a listening_fd, a listening stream socket that it makes
/// non-blocking, until a signal ends the process: each in a session process of its own, at most
/// listener_session_limit at a time, while further clients wait in the listen backlog. Failures
/// that pass (a connection that went, the network, exhausted resources, a failed fork) are reported
/// on standard error at most once a second and served through. Returns exit_status_fatal only when
/// accept fails for good (no descriptor, no socket, a socket that does not listen), after writing
/// why, prefixed with \a program, to standard error. The descriptor stays the caller's. Each
/// session process gets its own copy of \a config and wipes the passwords it does not need from it.
[[nodiscard]] int listener_serve(const char* program, int listening_fd, startup_config& config);

/// The whole standalone mode: listener_bind, then listener_serve on its socket. Returns
/// exit_status_fatal, only when either has failed and said why.
[[nodiscard]] int listener_run(const char* program, startup_config& config);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_H_
