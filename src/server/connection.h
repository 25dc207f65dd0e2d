// What a session needs of the connection it runs on, in both run modes: a client that vanishes
// or stops talking must end the session through its error paths, never hang it or kill it.
#ifndef FERND_SERVER_CONNECTION_H_
#define FERND_SERVER_CONNECTION_H_

#include <chrono>

#include "common/limits.h"
#include "common/posix_handle.h"

namespace fernd {

/// Makes writes to a vanished client fail with EPIPE instead of killing the process.
void connection_ignore_sigpipe();

/// When \a fd is a socket: a read that waits \a idle_limit without data, and a write that waits
/// \a idle_limit without progress, fail; a TCP socket also sends small writes at once. Returns 0
/// when \a fd is a socket and the options were set, 1 otherwise (nothing changed).
int connection_prepare(int fd, std::chrono::milliseconds idle_limit);

/// Which way a connection stream carries the bytes.
enum class connection_direction { input, output };

/// A buffered stream over \a fd, which it takes over and closes, whose reads and writes go on
/// after EINTR: on a socket with idle limits a stop and continue of the process breaks off a
/// blocked read or write with EINTR, which a plain stream reports as an error and the session
/// would take for a lost client. A read that meets the idle limit still fails. The stream's
/// buffer is its own and is wiped when the stream is closed: the input holds passwords. Returns
/// none, with \a fd closed, when memory is exhausted.
unique_file connection_stream(unique_fd fd, connection_direction direction);

}  // namespace fernd

#endif  // FERND_SERVER_CONNECTION_H_
