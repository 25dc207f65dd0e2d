#include "support/not_regular_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace fernd {

std::vector<not_regular_file> not_regular_files(const std::string& fifo) {
  const auto link_to = [](const std::string& target) {
    return [target](const std::string& path) {
      std::error_code error;
      std::filesystem::create_symlink(target, path, error);
      ASSERT_FALSE(error) << path << ": " << error.message();
    };
  };
  return {
      {"a FIFO", [](const std::string& path) { ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600)); }},
      {"a directory",
       [](const std::string& path) { ASSERT_TRUE(std::filesystem::create_directory(path)); }},
      {"a link to /dev/null", link_to("/dev/null")},
      {"a link to /dev/zero", link_to("/dev/zero")},
      {"a link to a FIFO", link_to(fifo)},
      {"nothing", [](const std::string&) {}},
  };
}

}  // namespace fernd
