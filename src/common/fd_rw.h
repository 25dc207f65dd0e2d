// Reading and writing plain descriptors as a daemon must: a call that a signal breaks off is made
// again. On a socket with idle limits even a stop and continue of the process (a debugger, a
// tracer, job control) makes a blocked read or write fail with EINTR, without any handler.
#ifndef FERND_COMMON_FD_RW_H_
#define FERND_COMMON_FD_RW_H_

#include <sys/types.h>

#include <cstddef>

namespace fernd {

/// read(2) of at most \a size bytes, made again after EINTR. Returns what read returns: the
/// number of bytes, 0 at the end of input, or -1 with errno set.
ssize_t fd_read(int fd, char* data, std::size_t size);

/// Writes all \a size bytes, going on after EINTR and after short writes. Returns the number of
/// bytes written: \a size, or fewer when a write failed, with errno telling why.
std::size_t fd_write_all(int fd, const char* data, std::size_t size);

}  // namespace fernd

#endif  // FERND_COMMON_FD_RW_H_
