#include "support/not_regular_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/temp_maildir.h"

namespace fernd {
namespace {

// The tests that refuse these would pass over a list whose entries made regular files, or made
// nothing where they promise something.
TEST(NotRegularFiles, NoneOpensAsARegularFile) {
  const temp_maildir box;
  const std::string fifo = box.path + "/fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  std::set<std::string> names;
  int count = 0;
  for (const not_regular_file& c : not_regular_files(fifo)) {
    SCOPED_TRACE(c.what);
    names.insert(c.what);
    const std::string path = box.new_path("m" + std::to_string(++count));
    ASSERT_NO_FATAL_FAILURE(c.make(path));
    struct stat link {};
    struct stat target {};
    const bool exists = ::lstat(path.c_str(), &link) == 0;
    EXPECT_EQ(std::string(c.what) != "nothing", exists);
    EXPECT_FALSE(::stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode));
  }
  EXPECT_EQ(6u, names.size());
}

}  // namespace
}  // namespace fernd
