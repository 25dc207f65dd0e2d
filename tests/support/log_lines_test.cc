#include "support/log_lines.h"

#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

#include "support/temp_maildir.h"

namespace fernd {
namespace {

// The reader that every log comparison goes through must accept the log's lines alone: a reader
// that took anything would let a test pass over a broken log.
TEST(LogLinesParse, TakesApartOnlyTheLogsOwnForm) {
  const struct {
    const char* line;
    pid_t pid;         ///< 0: not a log line
    const char* text;  ///< what is left after the prefix
  } cases[] = {
      {"2024-02-29 23:59:59 fernd[4242] info: starting POP3 session", 4242,
       "info: starting POP3 session"},
      {"1970-01-01 00:00:00 fernd[1] error: ", 1, "error: "},
      {"2024-02-29 23:59:59 fernd[7] info: a: b] fernd[8] error: c", 7,
       "info: a: b] fernd[8] error: c"},
      {"2024-02-29 23:59:59 fernd[4242] warning: x", 0, ""},
      {"2024-02-29 23:59:59 fernd[4242] info:x", 0, ""},
      {"2024-02-29 23:59:59 fernd[] info: x", 0, ""},
      {"2024-02-29 23:59:59 fernd[999999999] info: x", 999999999, "info: x"},
      {"2024-02-29 23:59:59 fernd[1234567890] info: x", 0, ""},
      {"2024-02-29 23:59:59 fernd[-1] info: x", 0, ""},
      {"2024-02-29 23:59:59 fernd[42]info: x", 0, ""},
      {"2024-02-29 23:59:59 pop3d[42] info: x", 0, ""},
      {"2024-02-29 23:59 fernd[42] info: x", 0, ""},
      {"2024-2-29 23:59:59 fernd[42] info: x", 0, ""},
      {"2024-02-29T23:59:59 fernd[42] info: x", 0, ""},
      {" 2024-02-29 23:59:59 fernd[42] info: x", 0, ""},
      {"earlier line", 0, ""},
      {"", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<log_line> parsed = log_lines_parse(c.line);
    ASSERT_EQ(c.pid != 0, parsed.has_value());
    if (parsed.has_value()) {
      EXPECT_EQ(c.pid, parsed->pid);
      EXPECT_EQ(c.text, parsed->text);
    }
  }
}

TEST(LogLinesRead, FailsOnALineOfAnotherFormOrWriterAndOnAnUnendedLine) {
  const temp_maildir dir;
  const std::string path = dir.path + "/fernd.log";
  const std::string pid = std::to_string(::getpid());
  const std::string own = "2024-02-29 23:59:59 fernd[" + pid + "] info: one\n";
  write_file(path, own + own);
  EXPECT_EQ((log_lines{"info: one", "info: one"}), log_lines_read(path, ::getpid()));

  const struct {
    std::string text;
    const char* failure;  ///< part of the one failure it reports
  } broken[] = {
      {own + "stray text\n", "not a log line: stray text"},
      {own + "2024-02-29 23:59:59 fernd[1] info: one\n", "fernd[1] info: one"},
      {own + own.substr(0, own.size() - 1), "the log ends inside a line"},
  };
  for (const auto& c : broken) {
    SCOPED_TRACE(c.failure);
    write_file(path, c.text);
    log_lines read;
    EXPECT_NONFATAL_FAILURE(read = log_lines_read(path, ::getpid()), c.failure);
    // Only the lines that passed every check are handed on.
    EXPECT_EQ(log_lines{"info: one"}, read);
  }
}

TEST(LogLinesHas, FindsLinesOnlyOneAfterAnother) {
  const log_lines log = {"info: a", "info: b", "error: c"};
  EXPECT_TRUE(log_lines_has(log, {"info: b"}));
  EXPECT_TRUE(log_lines_has(log, {"info: b", "error: c"}));
  EXPECT_TRUE(log_lines_has(log, log));
  EXPECT_FALSE(log_lines_has(log, {"info: a", "error: c"}));
  EXPECT_FALSE(log_lines_has(log, {"info: "}));
  EXPECT_FALSE(log_lines_has(log, {"error: c", "info: a"}));
}

}  // namespace
}  // namespace fernd
