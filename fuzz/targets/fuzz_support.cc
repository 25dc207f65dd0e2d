// Helpers shared by the fuzz targets.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "targets/fuzz_targets.h"

namespace fernd {
namespace {

// Owns the scratch directory; its destructor runs at exit and removes everything in it.
struct scratch_dir {
  std::string path;

  scratch_dir() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) {
      base = "/tmp";
    }
    path = (base / "fernd-fuzz-XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr) {
      fuzz_fail("cannot create the scratch directory");
    }
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
};

}  // namespace

void fuzz_fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

const std::string& fuzz_scratch_dir() {
  static const scratch_dir dir;
  return dir.path;
}

namespace {

// A memory file, sealed against growing past \a size unless \a size is SIZE_MAX.
unique_fd memory_file(std::size_t size) {
  unique_fd fd(::memfd_create("fernd-fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (fd.fd < 0) {
    fuzz_fail("memfd_create failed");
  }
  if (size != SIZE_MAX && (::ftruncate(fd.fd, static_cast<off_t>(size)) != 0 ||
                           ::fcntl(fd.fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK) != 0)) {
    fuzz_fail("cannot limit a memory file");
  }
  return fd;
}

// Writes all of \a content to \a fd; aborts when a write fails.
void write_all(int fd, std::string_view content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n <= 0) {
      fuzz_fail("cannot write a scratch file");
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void fuzz_write_file(const std::string& path, std::string_view content) {
  const unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.fd < 0) {
    fuzz_fail("cannot create a scratch file");
  }
  write_all(fd.fd, content);
}

std::string capture_sink::bytes() const {
  const off_t written = ::lseek(fd.fd, 0, SEEK_CUR);
  std::string text(written > 0 ? static_cast<std::size_t>(written) : 0, '\0');
  if (!text.empty() &&
      ::pread(fd.fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    fuzz_fail("cannot read a capture back");
  }
  return text;
}

capture_sink fuzz_open_capture(std::size_t budget) {
  return {memory_file(budget)};
}

unique_fd fuzz_memory_file(std::string_view content) {
  unique_fd fd = memory_file(SIZE_MAX);
  write_all(fd.fd, content);
  if (::lseek(fd.fd, 0, SEEK_SET) != 0) {
    fuzz_fail("cannot rewind a memory file");
  }
  return fd;
}

}  // namespace fernd
