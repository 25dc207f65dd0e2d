#include "log/session_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/posix_handle.h"
#include "support/child_process.h"
#include "support/fd_count.h"
#include "support/log_lines.h"
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

// The "level: text" of a line that this process logged; empty when it has another form or
// another writer.
std::string log_text(const std::string& line) {
  const std::optional<log_line> parsed = log_lines_parse(line);
  return parsed.has_value() && parsed->pid == ::getpid() ? parsed->text : std::string();
}

// The temporary directory of temp_maildir serves as a scratch directory for log files.
class SessionLogTest : public testing::Test {
 protected:
  std::string log_path() const { return dir_.path + "/fernd.log"; }

  temp_maildir dir_;
};

TEST_F(SessionLogTest, FileLineFormat) {
  session_log log;
  log_open(false, log_path().c_str(), &log);
  ASSERT_GE(log.file.fd, 0);
  EXPECT_EQ(log_sink::file, log.sink);
  EXPECT_EQ(log_info, log.threshold);
  log_write(&log, log_info, "user %s logged in, %d messages", "alice", 3);
  log_write(&log, log_error, "cannot send %s", "/m/new/1");
  // A level beyond error, should one ever be made, is written as an error.
  log_write(&log, static_cast<log_level>(2), "level two");
  log_write(&log, static_cast<log_level>(77), "%s", "");
  log_close(&log);

  // Every line in the form "YYYY-MM-DD hh:mm:ss fernd[pid] level: text", ending in a line end.
  EXPECT_EQ((log_lines{"info: user alice logged in, 3 messages", "error: cannot send /m/new/1",
                       "error: level two", "error: "}),
            log_lines_read(log_path(), ::getpid()));
}

TEST_F(SessionLogTest, LineReachesFileWhenLogged) {
  session_log log;
  log_open(false, log_path().c_str(), &log);
  log_write(&log, log_info, "starting POP3 session");
  EXPECT_EQ(1U, lines_of(read_file(log_path())).size());
  log_write(&log, log_error, "second");
  EXPECT_EQ(2U, lines_of(read_file(log_path())).size());
  log_close(&log);
}

TEST_F(SessionLogTest, LineSurvivesKilledProcess) {
  child_process child = child_start([this] {
    session_log log;
    log_open(false, log_path().c_str(), &log);
    log_write(&log, log_info, "connection from %s port %d", "127.0.0.1", 40000);
    ::raise(SIGKILL);  // no log_close, no exit handlers: only what already reached the file
    return 1;
  });
  ASSERT_GT(child.pid, 0);
  const int status = child_wait(&child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  EXPECT_EQ(log_lines{"info: connection from 127.0.0.1 port 40000"},
            log_lines_read(log_path(), child.pid));
}

TEST_F(SessionLogTest, ThresholdDecidesWhatIsWritten) {
  struct threshold_case {
    log_level threshold;
    log_sink sink;
    std::vector<std::string> words;
  };
  const threshold_case cases[] = {
      {log_info, log_sink::file, {"info", "error"}},
      {log_error, log_sink::file, {"error"}},
      {log_info, log_sink::nowhere, {}},
  };
  for (const threshold_case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << static_cast<int>(c.threshold) << " " << static_cast<int>(c.sink));
    (void)::unlink(log_path().c_str());
    session_log log;
    log_open(false, log_path().c_str(), &log);
    log.threshold = c.threshold;
    log.sink = c.sink;
    log_write(&log, log_info, "a");
    log_write(&log, log_error, "b");
    log_close(&log);
    std::vector<std::string> words;
    for (const std::string& line : log_lines_read(log_path(), ::getpid())) {
      words.push_back(line.substr(0, line.find(':')));
    }
    EXPECT_EQ(c.words, words);
  }
}

TEST_F(SessionLogTest, AppendsToExistingFileAndCreatesMissingOne) {
  write_file(log_path(), "earlier line\n");
  session_log log;
  log_open(false, log_path().c_str(), &log);
  log_write(&log, log_info, "first");
  // Another writer appends in between: the next line must go after it, not over it.
  unique_file other{std::fopen(log_path().c_str(), "ae")};
  ASSERT_NE(nullptr, other);
  ASSERT_EQ(1U, std::fwrite("other writer\n", 13, 1, other.get()));
  other.reset();
  log_write(&log, log_info, "second");
  log_close(&log);
  std::vector<std::string> lines = lines_of(read_file(log_path()));
  ASSERT_EQ(4U, lines.size());
  EXPECT_EQ("earlier line", lines[0]);
  EXPECT_EQ("info: first", log_text(lines[1])) << lines[1];
  EXPECT_EQ("other writer", lines[2]);
  EXPECT_EQ("info: second", log_text(lines[3])) << lines[3];

  const std::string missing = dir_.path + "/new.log";
  session_log fresh;
  log_open(false, missing.c_str(), &fresh);
  ASSERT_GE(fresh.file.fd, 0);
  log_write(&fresh, log_error, "created");
  log_close(&fresh);
  EXPECT_EQ(log_lines{"error: created"}, log_lines_read(missing, ::getpid()));
}

TEST_F(SessionLogTest, WritesLongMessageAsOneWholeLine) {
  // Far beyond any stack buffer and any stdio buffer.
  const std::string message(100'000, 'm');
  session_log log;
  log_open(false, log_path().c_str(), &log);
  log_write(&log, log_info, "%s|%s", message.c_str(), "end");
  const log_lines lines = log_lines_read(log_path(), ::getpid());
  log_close(&log);
  EXPECT_EQ(log_lines{"info: " + message + "|end"}, lines);
}

TEST_F(SessionLogTest, ConcurrentProcessesNeverSplitLines) {
  constexpr int processes = 6;
  constexpr int lines_each = 150;
  // Children start together when the parent closes the start pipe.
  int start[2];
  ASSERT_EQ(0, ::pipe2(start, O_CLOEXEC));
  unique_fd start_read(start[0]);
  unique_fd start_write(start[1]);
  std::vector<child_process> children;
  for (int p = 0; p < processes; ++p) {
    children.push_back(child_start([&, p] {
      start_write.reset();
      char byte = 0;
      (void)::read(start_read.fd, &byte, 1);
      session_log log;
      log_open(false, log_path().c_str(), &log);
      for (int i = 0; i < lines_each; ++i) {
        // Lengths from short to several pages, the same letter throughout one line.
        const std::string body(static_cast<std::size_t>(100 + (i * 97) % 9000),
                               static_cast<char>('a' + p));
        log_write(&log, log_info, "p%d l%d %s", p, i, body.c_str());
      }
      log_close(&log);
      return 0;
    }));
    ASSERT_GT(children.back().pid, 0);
  }
  start_write.reset();
  for (child_process& child : children) {
    EXPECT_EQ(0, child_exit_status(child_wait(&child)));
  }

  const std::regex text_of_line(R"(info: p(\d) l(\d+) ([a-z]+))");
  std::vector<std::vector<int>> seen(processes);
  const std::vector<std::string> lines = lines_of(read_file(log_path()));
  ASSERT_EQ(static_cast<std::size_t>(processes * lines_each), lines.size());
  for (const std::string& line : lines) {
    const std::optional<log_line> parsed = log_lines_parse(line);
    ASSERT_TRUE(parsed.has_value()) << line.substr(0, 120);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(parsed->text, match, text_of_line)) << line.substr(0, 120);
    const int p = std::stoi(match[1]);
    const int i = std::stoi(match[2]);
    ASSERT_LT(p, processes);
    EXPECT_EQ(children[static_cast<std::size_t>(p)].pid, parsed->pid);
    EXPECT_EQ(
        std::string(static_cast<std::size_t>(100 + (i * 97) % 9000), static_cast<char>('a' + p)),
        match[3].str());
    seen[static_cast<std::size_t>(p)].push_back(i);
  }
  for (int p = 0; p < processes; ++p) {
    SCOPED_TRACE(p);
    // Every line of a process is there once, in the order it was logged.
    std::vector<int> expected(lines_each);
    for (int i = 0; i < lines_each; ++i) {
      expected[static_cast<std::size_t>(i)] = i;
    }
    EXPECT_EQ(expected, seen[static_cast<std::size_t>(p)]);
  }
}

TEST_F(SessionLogTest, UnopenableFileFallsBackToSyslog) {
  const std::string path = dir_.path + "/absent/fernd.log";
  const int fds_before = open_fd_count();
  session_log log;
  log_open(false, path.c_str(), &log);
  EXPECT_EQ(-1, log.file.fd);
  EXPECT_EQ(log_sink::syslog, log.sink);
  log_write(&log, log_info, "goes to syslog");
  log_close(&log);
  EXPECT_EQ(fds_before, open_fd_count());
  struct stat status {};
  EXPECT_NE(0, ::stat(path.c_str(), &status));
}

TEST_F(SessionLogTest, FifoWithoutReaderFallsBackAtOnce) {
  // Opening a FIFO for writing waits for a reader: a session must never wait there before its
  // greeting. The open runs in a child, so that a hang is a failure and not a stuck test.
  ASSERT_EQ(0, ::mkfifo(log_path().c_str(), 0600));
  const child_outcome outcome = run_in_child(
      [this] {
        session_log log;
        log_open(false, log_path().c_str(), &log);
        std::fprintf(stderr, "%d %s", log.file.fd >= 0 ? 1 : 0,
                     log.sink == log_sink::syslog ? "syslog" : "not syslog");
        log_close(&log);
      },
      10);
  ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << "log_open waited for a reader";
  EXPECT_EQ(child_returned_status, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ("0 syslog", outcome.err);  // syslog instead
}

TEST_F(SessionLogTest, OpenedFileWritesBlockAsUsualAndIsMadeForTheAdministrator) {
  // Only the open is without waiting: writes wait as before, so that a reader that falls behind
  // delays a line but never loses part of it. A file that fernd makes is readable by its owner and
  // group alone, whatever the umask.
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "existing file" : "new file");
    (void)::unlink(log_path().c_str());
    if (existing) {
      write_file(log_path(), "");
      ASSERT_EQ(0, ::chmod(log_path().c_str(), 0604));
    }
    const mode_t umask_before = ::umask(0);
    session_log log;
    log_open(false, log_path().c_str(), &log);
    (void)::umask(umask_before);
    ASSERT_GE(log.file.fd, 0);
    const int flags = ::fcntl(log.file.fd, F_GETFL);
    EXPECT_EQ(0, flags & O_NONBLOCK);
    log_write(&log, log_info, "through");
    log_close(&log);
    EXPECT_EQ(log_lines{"info: through"}, log_lines_read(log_path(), ::getpid()));
    struct stat status {};
    ASSERT_EQ(0, ::stat(log_path().c_str(), &status));
    EXPECT_EQ(existing ? 0604U : 0640U, status.st_mode & 07777);
  }
}

TEST_F(SessionLogTest, WhatIsNoLogFileFallsBackToSyslog) {
  // Only a regular file with one name, or a character device, is a log: lines written to a FIFO
  // go to whoever reads it, and a second name may make the lines land in another file.
  const std::string other = dir_.path + "/other";
  struct not_a_log {
    const char* what;
    std::function<void()> make;
  };
  unique_fd reader;
  const not_a_log cases[] = {
      {"FIFO with a reader",
       [&] {
         ASSERT_EQ(0, ::mkfifo(log_path().c_str(), 0600));
         reader.reset(::open(log_path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
         ASSERT_GE(reader.fd, 0);
       }},
      {"second name of another file",
       [&] {
         write_file(other, "other's own\n");
         ASSERT_EQ(0, ::link(other.c_str(), log_path().c_str()));
       }},
      {"directory", [&] { ASSERT_EQ(0, ::mkdir(log_path().c_str(), 0700)); }},
  };
  for (const not_a_log& c : cases) {
    SCOPED_TRACE(c.what);
    reader.reset();
    (void)::unlink(other.c_str());
    std::filesystem::remove_all(log_path());
    c.make();
    session_log log;
    log_open(false, log_path().c_str(), &log);
    EXPECT_EQ(log_sink::syslog, log.sink);
    EXPECT_EQ(-1, log.file.fd);
    log_write(&log, log_info, "to syslog");
    log_close(&log);
    if (reader.fd >= 0) {
      char byte = 0;
      EXPECT_EQ(0, ::read(reader.fd, &byte, 1));  // no byte, and no writer holds it open
    }
    if (std::filesystem::exists(other)) {
      EXPECT_EQ("other's own\n", read_file(other));
    }
  }
}

TEST_F(SessionLogTest, StandardErrorIsTheProcessOwnWhateverItIs) {
  // "/dev/stderr" is the descriptor the process was given (here a pipe, as from a service
  // manager), not a file to open by that name; /dev/null is a character device, a log like a
  // terminal.
  const child_outcome outcome = run_in_child(
      [] {
        for (const char* path : {"/dev/stderr", "/dev/null"}) {
          session_log log;
          log_open(false, path, &log);
          if (log.sink != log_sink::file) {
            std::_Exit(2);
          }
          log_write(&log, log_info, "through %s", path);
          log_close(&log);
        }
      },
      10);
  ASSERT_TRUE(WIFEXITED(outcome.wait_status));
  EXPECT_EQ(child_returned_status, WEXITSTATUS(outcome.wait_status));
  ASSERT_EQ(1U, lines_of(outcome.err).size()) << outcome.err;
  EXPECT_NE(std::string::npos, outcome.err.find("] info: through /dev/stderr\n")) << outcome.err;
}

TEST_F(SessionLogTest, SinkChosenByPathThenFlag) {
  struct open_case {
    const char* what;
    int to_syslog;
    bool with_path;
    bool file_expected;
    log_sink sink;
  };
  const open_case cases[] = {
      {"path wins over the flag", 1, true, true, log_sink::file},
      {"path alone", 0, true, true, log_sink::file},
      {"flag alone: syslog", 1, false, false, log_sink::syslog},
      {"neither: nowhere", 0, false, false, log_sink::nowhere},
  };
  for (const open_case& c : cases) {
    SCOPED_TRACE(c.what);
    (void)::unlink(log_path().c_str());
    session_log log;
    log_open(c.to_syslog, c.with_path ? log_path().c_str() : nullptr, &log);
    EXPECT_EQ(c.file_expected, log.file.fd >= 0);
    EXPECT_EQ(c.sink, log.sink);
    if (log.file.fd >= 0) {
      // The log file must not leak into the processes that password commands start.
      const int flags = ::fcntl(log.file.fd, F_GETFD);
      EXPECT_NE(0, flags & FD_CLOEXEC);
    }
    log_close(&log);
  }
}

TEST_F(SessionLogTest, NowhereWritesNothing) {
  const int fds_before = open_fd_count();
  session_log log;
  log_open(false, nullptr, &log);
  ASSERT_EQ(log_sink::nowhere, log.sink);
  log_write(&log, log_info, "dropped");
  log_write(&log, log_error, "dropped too");
  log_write(&log, static_cast<log_level>(99), "and this");
  EXPECT_EQ(fds_before, open_fd_count());
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path)) {
    ++files;
  }
  EXPECT_EQ(1U, files);  // only the fixture's new/
}

TEST(Sanitize, ReplacesControlCharactersOnly) {
  std::string text(
      "a\x01"
      "b\x1f\x7f\x80\xff c\t\r\n~ ");
  char* result = sanitize(text.data());
  EXPECT_EQ(text.data(), result);
  EXPECT_EQ(std::string("a?b??\x80\xff c???~ "), text);

  std::string empty;
  EXPECT_EQ("", std::string(sanitize(empty.data())));
}

}  // namespace
}  // namespace fernd
