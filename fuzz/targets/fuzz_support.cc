// Helpers shared by the fuzz targets.
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

ssize_t capture_write(void* cookie, const char* data, std::size_t size) {
  auto* sink = static_cast<capture_sink*>(cookie);
  const std::size_t taken = std::min(size, sink->budget);
  sink->bytes.append(data, taken);
  sink->budget -= taken;
  return static_cast<ssize_t>(taken);
}

}  // namespace

unique_file fuzz_open_capture(capture_sink* sink) {
  cookie_io_functions_t io{};
  io.write = capture_write;
  return unique_file(::fopencookie(sink, "w", io));
}

}  // namespace fernd
