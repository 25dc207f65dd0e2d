// read and whole writes on plain descriptors, made again after EINTR.
#include "common/fd_rw.h"

#include <unistd.h>

#include <cerrno>

namespace fernd {

ssize_t fd_read(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, data, size);
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

std::size_t fd_write_all(int fd, const char* data, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t step = ::write(fd, data + written, size - written);
    if (step < 0 && errno == EINTR) {
      continue;
    }
    if (step <= 0) {
      if (step == 0) {
        errno = EIO;  // no progress and no reason: going on could loop for ever
      }
      break;
    }
    written += static_cast<std::size_t>(step);
  }
  return written;
}

}  // namespace fernd
