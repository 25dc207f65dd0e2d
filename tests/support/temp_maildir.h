// A Maildir in a fresh temporary directory, removed again with everything in it.
#ifndef FERND_TESTS_SUPPORT_TEMP_MAILDIR_H_
#define FERND_TESTS_SUPPORT_TEMP_MAILDIR_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace fernd {

struct temp_maildir {
  std::string path;  ///< absolute, without a trailing slash; holds new/

  temp_maildir();
  ~temp_maildir();
  temp_maildir(const temp_maildir&) = delete;
  temp_maildir& operator=(const temp_maildir&) = delete;

  /// "<path>/new/<name>"
  std::string new_path(std::string_view name) const;

  /// Writes a message file into new/ with the given content and modification time.
  void add(std::string_view name, std::string_view content, std::int64_t mtime_sec = 1'000'000,
           std::int64_t mtime_nsec = 0) const;

  /// True when new/<name> exists (as a link or a file).
  bool has(std::string_view name) const;
};

/// Reads a whole file; fails the calling test when it cannot be read.
std::string read_file(const std::string& path);

/// Writes a whole file, replacing it; fails the calling test when it cannot be written.
void write_file(const std::string& path, std::string_view content);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_TEMP_MAILDIR_H_
