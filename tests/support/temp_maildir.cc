#include "support/temp_maildir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fernd {

temp_maildir::temp_maildir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "fernd-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path = pattern;
  std::filesystem::create_directory(path + "/new");
}

temp_maildir::~temp_maildir() {
  std::error_code ignored;
  // Tests may leave new/ read-only; make it writable so that the removal succeeds as root or not.
  std::filesystem::permissions(path + "/new", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path, ignored);
}

std::string temp_maildir::new_path(std::string_view name) const {
  return path + "/new/" + std::string(name);
}

void temp_maildir::add(std::string_view name, std::string_view content, std::int64_t mtime_sec,
                       std::int64_t mtime_nsec) const {
  const std::string file = new_path(name);
  write_file(file, content);
  const timespec times[2] = {{static_cast<time_t>(mtime_sec), static_cast<long>(mtime_nsec)},
                             {static_cast<time_t>(mtime_sec), static_cast<long>(mtime_nsec)}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0)) << file;
}

bool temp_maildir::has(std::string_view name) const {
  struct stat st {};
  return ::lstat(new_path(name).c_str(), &st) == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

}  // namespace fernd
