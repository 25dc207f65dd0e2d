#include "support/fd_count.h"

#include <dirent.h>

#include <cstring>

#include "common/posix_handle.h"

namespace fernd {

int open_fd_count() {
  const unique_dir fds{::opendir("/proc/self/fd")};
  if (fds == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = ::readdir(fds.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      ++count;
    }
  }
  return count;
}

}  // namespace fernd
