// Replays the committed fuzz inputs (the seed corpus and the inputs that once found a fault)
// through the fuzz targets' own checks, so that every build keeps checking them. A failed check
// aborts the test process with "fuzz check failed: ..." on standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_maildir.h"
#include "targets/fuzz_targets.h"

namespace fernd {
namespace {

// The committed inputs of one target, corpus first, each directory in name order.
std::vector<std::filesystem::path> inputs_of(std::string_view target) {
  std::vector<std::filesystem::path> inputs;
  for (const char* kind : {"corpus", "regressions"}) {
    const std::filesystem::path dir =
        std::filesystem::path(FERND_SOURCE_DIR) / "fuzz" / kind / std::string(target);
    if (!std::filesystem::is_directory(dir)) {
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file()) {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
  }
  return inputs;
}

// Runs every committed input of \a target; each must be accepted and pass.
template <typename Target>
void replay(std::string_view target, Target run) {
  const std::vector<std::filesystem::path> inputs = inputs_of(target);
  // A handful of seeds is committed for every target; none found means a wrong path.
  ASSERT_GE(inputs.size(), 3U) << "too few committed inputs for " << target;
  for (const std::filesystem::path& input : inputs) {
    SCOPED_TRACE(input.string());
    const std::string bytes = read_file(input.string());
    EXPECT_EQ(0, run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
}

TEST(FuzzReplay, SessionInputs) {
  replay("session", fuzz_session);
}

TEST(FuzzReplay, TransmissionInputs) {
  replay("transmission", fuzz_transmission);
}

TEST(FuzzReplay, NetrcInputs) {
  replay("netrc", fuzz_netrc);
}

// The transmission target is only as good as its reference transform: check it by hand.
TEST(FuzzExpectedWire, MatchesHandWrittenCases) {
  using namespace std::string_literals;
  struct wire_case {
    std::string file;
    std::string wire;
  };
  const wire_case cases[] = {
      {"", ""},
      {"a", "a\r\n"},
      {"a\n", "a\r\n"},
      {"\n", "\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"a\nb", "a\r\nb\r\n"},
      {".", "..\r\n"},
      {".\n..\n",
       "..\r\n"
       "...\r\n"},
      {"x\n.y\r\n.z",
       "x\r\n"
       "..y\r\n"
       "..z\r\n"},
      // A lone CR ends no line: the dot after it is not at a line start.
      {"a\r.b\n", "a\r.b\r\n"},
      {"a\r", "a\r\r\n"},
      {"\r\n.",
       "\r\n"
       "..\r\n"},
      {"\n\n",
       "\r\n"
       "\r\n"},
      {"\0\n"s, "\0\r\n"s},
      {".\0."s, "..\0.\r\n"s},
      {"a\r\r\n", "a\r\r\n"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].wire, fuzz_expected_wire(cases[i].file));
  }
}

// The reference for TOP, by hand as well: the lines up to the first empty one, then the body's.
TEST(FuzzExpectedTop, MatchesHandWrittenCases) {
  struct top_case {
    std::string wire;
    std::uint64_t lines;
    std::string top;
  };
  const top_case cases[] = {
      {"", 0, ""},
      {"", 3, ""},
      {"A\r\nB\r\n", 0, "A\r\nB\r\n"},
      {"A\r\n\r\nb1\r\nb2\r\n", 0, "A\r\n\r\n"},
      {"A\r\n\r\nb1\r\nb2\r\n", 1, "A\r\n\r\nb1\r\n"},
      {"A\r\n\r\nb1\r\nb2\r\n", 2, "A\r\n\r\nb1\r\nb2\r\n"},
      {"A\r\n\r\nb1\r\nb2\r\n", UINT64_MAX, "A\r\n\r\nb1\r\nb2\r\n"},
      {"\r\n\r\n\r\n", 1, "\r\n\r\n"},
      // A line holding a CR is not empty; a lone CR ends no line.
      {"A\r\r\n\r\nb\r\n", 0, "A\r\r\n\r\n"},
      {"\r\r\n\r\nb\r\n", 0, "\r\r\n\r\n"},
      {"A\rB\r\n\r\nb\r\n", 0, "A\rB\r\n\r\n"},
      {"..\r\n\r\n..\r\nb\r\n", 1, "..\r\n\r\n..\r\n"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].top, fuzz_expected_top(cases[i].wire, cases[i].lines));
  }
}

}  // namespace
}  // namespace fernd
