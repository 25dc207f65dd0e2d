#include "common/secret.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "support/wipe_record.h"

namespace fernd {
namespace {

TEST(SecretEqual, ComparesEveryByte) {
  using namespace std::string_view_literals;
  const struct {
    std::string_view expected;
    std::string_view given;
    bool equal;
  } cases[] = {
      {"secret", "secret", true},
      {"", "", true},
      {"s3cret pass  ", "s3cret pass  ", true},  // blanks are part of it
      {"a\0b"sv, "a\0b"sv, true},
      {"secret", "Secret", false},  // first byte
      {"secret", "secreT", false},  // last byte
      {"secret", "sec?et", false},
      {"secret", "secre", false},  // a prefix
      {"secret", "secrets", false},
      {"secret", "", false},
      {"", "x", false},
      {"a\0b"sv, "a\0c"sv, false},
      {"\xff", "\x7f", false},  // bytes above 127 compare as bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.expected)) + " vs " +
                 testing::PrintToString(std::string(c.given)));
    EXPECT_EQ(c.equal, secret_equal(c.expected, c.given));
    EXPECT_EQ(c.equal, secret_equal(c.given, c.expected));
  }
}

TEST(SecretWipe, ZeroesTheRegionAndShowsItToTheObserverFirst) {
  std::string text = "PASS hunter2\r\nNOOP";
  const wipe_record record;
  secret_wipe(text.data(), 14);
  EXPECT_EQ(std::string(14, '\0') + "NOOP", text);
  EXPECT_EQ(std::vector<std::string>{"PASS hunter2\r\n"}, record.regions);
}

}  // namespace
}  // namespace fernd
