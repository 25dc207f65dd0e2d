#include "common/must_alloc.h"

#include <gtest/gtest.h>

#include <string>

namespace fernd {
namespace {

TEST(MustAsprintf, FormatsLikePrintf) {
  EXPECT_EQ("password for alice at localhost: ",
            must_asprintf("password for %s at %s: ", "alice", "localhost"));
  EXPECT_EQ("", must_asprintf("%s", ""));
  const std::string long_text(5000, 'x');
  EXPECT_EQ(long_text + "!", must_asprintf("%s!", long_text.c_str()));
}

TEST(MustStrndup, StopsAtLengthOrNul) {
  EXPECT_EQ("ab", must_strndup("abc", 2));
  EXPECT_EQ("abc", must_strndup("abc", 10));
}

}  // namespace
}  // namespace fernd
