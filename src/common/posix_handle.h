// Owning handles for the C and POSIX resources that fernd uses: stdio streams, directory streams
// and plain descriptors. Each releases its resource exactly once, on every path.
#ifndef FERND_COMMON_POSIX_HANDLE_H_
#define FERND_COMMON_POSIX_HANDLE_H_

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace fernd {

// Deleter structs rather than pointers to library functions: they cost no space, and the address
// of a standard library function is not ours to take.
struct file_closer {
  void operator()(std::FILE* f) const noexcept { (void)std::fclose(f); }
};
struct dir_closer {
  void operator()(DIR* d) const noexcept { (void)::closedir(d); }
};

using unique_file = std::unique_ptr<std::FILE, file_closer>;
using unique_dir = std::unique_ptr<DIR, dir_closer>;

/// Owns one file descriptor; -1 means none.
struct unique_fd {
  int fd = -1;

  unique_fd() = default;
  explicit unique_fd(int f) noexcept : fd(f) {}
  unique_fd(unique_fd&& other) noexcept : fd(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  /// Gives up ownership and returns the descriptor.
  int release() noexcept {
    int f = fd;
    fd = -1;
    return f;
  }
  /// Closes the owned descriptor, if any, and takes \a f instead.
  void reset(int f = -1) noexcept {
    if (fd >= 0) {
      (void)::close(fd);
    }
    fd = f;
  }
};

}  // namespace fernd

#endif  // FERND_COMMON_POSIX_HANDLE_H_
