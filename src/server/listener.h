// The standalone mode: a TCP listener that serves every connection in a session process of its
// own, at most 16 at a time.
#ifndef FERND_SERVER_LISTENER_H_
#define FERND_SERVER_LISTENER_H_

#include <cstdint>

#include "common/limits.h"
#include "server/startup_config.h"

namespace fernd {

/// Binds the configured interface (an IPv6 or IPv4 address text, never a name) and port and serves
/// connections until a signal ends the process. Failures that pass (a connection that went, the
/// network, exhausted resources, a failed fork) are reported on standard error at most once a
/// second and served through. Returns only when the socket cannot be set up or becomes unusable,
/// after writing its message, prefixed with \a program, to standard error; the caller then exits
/// with exit_status_fatal. Each session process gets its own copy of \a config, from which it wipes
/// the passwords its session does not need.
int listener_run(const char* program, startup_config& config);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_H_
