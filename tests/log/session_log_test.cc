#include "log/session_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/fd_count.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return status;
}

// The temporary directory of temp_maildir serves as a scratch directory for log files.
class SessionLogTest : public testing::Test {
 protected:
  std::string log_path() const { return dir_.path + "/fernd.log"; }

  temp_maildir dir_;
};

TEST_F(SessionLogTest, FileLineFormat) {
  session_log log;
  log_open(0, log_path().c_str(), &log);
  ASSERT_NE(nullptr, log.stream);
  EXPECT_EQ(0U, log.threshold);
  log_write(&log, log_info, "user %s logged in, %d messages", "alice", 3);
  log_write(&log, log_error, "cannot send %s", "/m/new/1");
  log_write(&log, 2, "level two");
  log_write(&log, 77, "%s", "");
  log_close(&log);

  const std::string pid = std::to_string(::getpid());
  const std::string time = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";
  const std::string prefix = time + " fernd\\[" + pid + "\\] ";
  const std::vector<std::string> lines = lines_of(read_file(log_path()));
  ASSERT_EQ(4U, lines.size());
  EXPECT_TRUE(
      std::regex_match(lines[0], std::regex(prefix + "info: user alice logged in, 3 messages")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(prefix + "error: cannot send /m/new/1")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(prefix + "error: level two"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(prefix + "error: "))) << lines[3];
  EXPECT_EQ('\n', read_file(log_path()).back());
}

TEST_F(SessionLogTest, LineReachesFileWhenLogged) {
  session_log log;
  log_open(0, log_path().c_str(), &log);
  log_write(&log, log_info, "starting POP3 session");
  EXPECT_EQ(1U, lines_of(read_file(log_path())).size());
  log_write(&log, log_error, "second");
  EXPECT_EQ(2U, lines_of(read_file(log_path())).size());
  log_close(&log);
}

TEST_F(SessionLogTest, LineSurvivesKilledProcess) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    session_log log;
    log_open(0, log_path().c_str(), &log);
    log_write(&log, log_info, "connection from %s port %d", "127.0.0.1", 40000);
    ::raise(SIGKILL);  // no log_close, no exit handlers: only what already reached the file
    ::_exit(1);
  }
  ASSERT_GT(pid, 0);
  const int status = wait_for(pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  const std::vector<std::string> lines = lines_of(read_file(log_path()));
  ASSERT_EQ(1U, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("] info: connection from 127.0.0.1 port 40000"));
}

TEST_F(SessionLogTest, ThresholdDecidesWhatIsWritten) {
  struct threshold_case {
    std::uint32_t threshold;
    std::vector<std::string> words;
  };
  const threshold_case cases[] = {
      {0, {"info", "error"}},
      {1, {"error"}},
      {2, {}},
  };
  for (const threshold_case& c : cases) {
    SCOPED_TRACE(c.threshold);
    (void)::unlink(log_path().c_str());
    session_log log;
    log_open(0, log_path().c_str(), &log);
    log.threshold = c.threshold;
    log_write(&log, log_info, "a");
    log_write(&log, log_error, "b");
    log_close(&log);
    std::vector<std::string> words;
    for (const std::string& line : lines_of(read_file(log_path()))) {
      const std::size_t end = line.rfind(": ");
      const std::size_t start = line.rfind(' ', end - 1) + 1;
      words.push_back(line.substr(start, end - start));
    }
    EXPECT_EQ(c.words, words);
  }
}

}  // namespace
}  // namespace fernd
