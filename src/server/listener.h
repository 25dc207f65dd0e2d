// The standalone mode: a TCP listener that serves every connection in a session process of its
// own, at most 16 at a time.
#ifndef FERND_SERVER_LISTENER_H_
#define FERND_SERVER_LISTENER_H_

#include "common/account.h"

namespace fernd {

/// Binds \a interface (an IPv6 or IPv4 address text, never a name) and \a port and serves
/// connections until a signal ends the process. Returns only on failure, after writing its
/// message, prefixed with \a program, to standard error; the caller then exits with status 3.
int listener_run(const char* program, const char* interface, int port, int log_to_syslog,
                 const char* log_file, const account_list& accounts);

}  // namespace fernd

#endif  // FERND_SERVER_LISTENER_H_
