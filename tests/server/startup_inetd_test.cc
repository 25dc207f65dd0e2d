// fernd --inetd as inetd runs it: one POP3 session on standard input and output, then the exit.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "server/startup_process.h"
#include "support/fd_reading.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

const std::string alice_auth = "--auth=alice,printf 's3cret\\n'";

struct log_line {
  std::string level;
  std::string message;
};

using log_lines = std::vector<log_line>;

/// The lines of a log file, each checked for the file format and for the writer's process id.
log_lines read_log(const std::string& path, pid_t pid) {
  static const std::regex format(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d fernd\[(\d+)\] (info|error): (.*))");
  log_lines lines;
  const std::string text = read_file(path);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    std::smatch match;
    if (!std::regex_match(line, match, format)) {
      ADD_FAILURE() << "not a log line: " << line;
      continue;
    }
    EXPECT_EQ(std::to_string(pid), match[1].str()) << line;
    lines.push_back({match[2].str(), match[3].str()});
  }
  return lines;
}

log_lines operator+(log_lines a, const log_lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const log_lines session_start = {{"info", "starting POP3 session"}};
const log_lines session_quit = {{"info", "client ended session"}};

/// The log lines of a session that logs in as alice and finds \a count messages.
log_lines login_log(int count) {
  return session_start + log_lines{{"info", "client started authorization"},
                                   {"info", "user alice authorized and mailbox locked"},
                                   {"info", "starting transaction phase with " +
                                                std::to_string(count) + " mails in mailbox"}};
}

/// The log lines of a QUIT in the transaction phase that deletes \a deleted messages.
log_lines update_log(int deleted) {
  return {{"info", "client ended transaction phase"},
          {"info", std::to_string(deleted) + " mails deleted in update phase; session ends"}};
}

void expect_log(const log_lines& expected, const log_lines& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].level, actual[i].level);
    EXPECT_EQ(expected[i].message, actual[i].message);
  }
}

/// Where a test's log file goes: a fresh directory (the maildir fixture's, of which only the
/// directory itself is used).
struct temp_directory {
  temp_maildir dir;
  std::string file(const std::string& name) const { return dir.path + "/" + name; }
};

TEST(FerndInetd, SessionRetrievesAndDeletesThenExitsZero) {
  const temp_maildir maildir;
  maildir.add("first", "Hello\n.dot\nend", 1000);
  maildir.add("second", "Second\r\n", 2000);
  const temp_directory logs;
  fernd_options options;
  options.input =
      "USER alice\r\n"
      "PASS s3cret\r\n"
      "STAT\r\n"
      "RETR 1\r\n"
      "DELE 1\r\n"
      "QUIT\r\n";
  // --interface and --port mean nothing in inetd mode.
  fernd_process process =
      fernd_start({alice_auth, "--maildir=" + maildir.path, "--log=" + logs.file("fernd.log"),
                   "--interface=not-an-address", "--port=9", "--inetd"},
                  options);
  const pid_t pid = process.pid;
  const fernd_result result = fernd_finish(&process);
  EXPECT_EQ(
      "+OK fernd ready.\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK 2 22\r\n"
      "+OK\r\n"
      "Hello\r\n"
      "..dot\r\n"
      "end\r\n"
      ".\r\n"
      "+OK\r\n"
      "+OK\r\n",
      result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0, result.status);
  EXPECT_FALSE(maildir.has("first"));
  EXPECT_TRUE(maildir.has("second"));
  expect_log(login_log(2) + update_log(1), read_log(logs.file("fernd.log"), pid));
  // In inetd mode every password check waits a second, the first one included.
  EXPECT_GE(result.elapsed, std::chrono::seconds(1));
}

TEST(FerndInetd, EndOfInputMidSessionExitsOneAndDeletesNothing) {
  const temp_maildir maildir;
  maildir.add("first", "one\n", 1000);
  maildir.add("second", "two\n", 2000);
  const temp_directory logs;
  fernd_options options;
  options.input =
      "USER alice\r\n"
      "PASS s3cret\r\n"
      "DELE 1\r\n"
      "DELE 2\r\n"
      "QU";
  fernd_process process = fernd_start(
      {alice_auth, "--maildir=" + maildir.path, "--log=" + logs.file("log"), "--inetd"}, options);
  const pid_t pid = process.pid;
  const fernd_result result = fernd_finish(&process);
  EXPECT_EQ(
      "+OK fernd ready.\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK\r\n",
      result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(1, result.status);
  EXPECT_TRUE(maildir.has("first"));
  EXPECT_TRUE(maildir.has("second"));
  expect_log(login_log(2) + log_lines{{"error", "input error, session aborted"}},
             read_log(logs.file("log"), pid));
}

TEST(FerndInetd, FailedLoginExitsOne) {
  const temp_maildir maildir;
  maildir.add("first", "one\n", 1000);
  fernd_options options;
  options.input =
      "USER alice\r\n"
      "PASS S3cret\r\n"
      "QUIT\r\n";
  const fernd_result result =
      fernd_run({alice_auth, "--maildir=" + maildir.path, "--inetd"}, options);
  EXPECT_EQ(
      "+OK fernd ready.\r\n"
      "+OK\r\n"
      "-ERR authorization failed\r\n"
      "+OK\r\n",
      result.out);
  EXPECT_EQ("", result.err);
  // The session ended normally, but with a failed password check: status 2, which exits 1.
  EXPECT_EQ(1, result.status);
  EXPECT_TRUE(maildir.has("first"));
}

TEST(FerndInetd, LaterMaildirOptionReplacesEarlier) {
  const temp_maildir empty;
  const temp_maildir full;
  full.add("only", "12345", 1000);
  fernd_options options;
  options.input =
      "USER alice\r\n"
      "PASS s3cret\r\n"
      "STAT\r\n"
      "QUIT\r\n";
  const fernd_result result = fernd_run(
      {alice_auth, "--maildir=" + empty.path, "--maildir=" + full.path, "--inetd"}, options);
  EXPECT_EQ(
      "+OK fernd ready.\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK 1 5\r\n"
      "+OK\r\n",
      result.out);
  EXPECT_EQ(0, result.status);
}

TEST(FerndInetd, LogArgumentChoosesFileSyslogOrNothing) {
  const temp_maildir maildir;
  const struct {
    const char* argument;
    bool file;  ///< whether a file of that name appears in the working directory
  } cases[] = {{"None", true}, {"log file", true}, {"none", false}, {"syslog", false}};
  for (const auto& each : cases) {
    SCOPED_TRACE(each.argument);
    const temp_directory cwd;
    fernd_options options;
    options.cwd = cwd.dir.path;
    options.input = "QUIT\r\n";
    fernd_process process = fernd_start(
        {alice_auth, "--maildir=" + maildir.path, "--log=" + std::string(each.argument), "--inetd"},
        options);
    const pid_t pid = process.pid;
    const fernd_result result = fernd_finish(&process);
    EXPECT_EQ("+OK fernd ready.\r\n+OK\r\n", result.out);
    EXPECT_EQ(0, result.status);
    const std::string path = cwd.file(each.argument);
    EXPECT_EQ(each.file, std::filesystem::exists(path));
    if (each.file) {
      expect_log(session_start + session_quit, read_log(path, pid));
    }
  }
}

// A classic inetd hands the client's connection to descriptors 0, 1 and 2. A passwordeval command
// must neither read the client's bytes (here `cat` would swallow the whole session) nor write to
// the client: its standard input is /dev/null, and its standard error is the log file when --log
// names one, wherever --log stands, else /dev/null. fernd's own standard error stays untouched.
TEST(FerndInetd, PasswordCommandNeitherReadsFromNorWritesToTheClient) {
  const temp_maildir maildir;
  maildir.add("first", "one\n", 1000);
  const std::string auth = "--auth=alice,cat; echo complaint >&2; printf 's3cret\\n'";
  const struct {
    const char* name;
    bool log_first;   ///< --log stands before --auth
    const char* log;  ///< the --log argument; "FILE" stands for a file of the test's
  } cases[] = {{"log file after --auth", false, "FILE"},
               {"log file before --auth", true, "FILE"},
               {"syslog", false, "syslog"},
               {"no log", false, "none"}};
  for (const auto& each : cases) {
    SCOPED_TRACE(each.name);
    const temp_directory logs;
    const std::string log_path = logs.file("fernd.log");
    const std::string log_option =
        "--log=" + (std::string(each.log) == "FILE" ? log_path : std::string(each.log));
    std::vector<std::string> args = {auth, "--maildir=" + maildir.path, "--inetd"};
    args.insert(each.log_first ? args.begin() : args.end(), log_option);
    fernd_options options;
    options.socket_stdio = true;
    options.input =
        "USER alice\r\n"
        "PASS s3cret\r\n"
        "QUIT\r\n";
    const fernd_result result = fernd_run(args, options);
    EXPECT_EQ(
        "+OK fernd ready.\r\n"
        "+OK\r\n"
        "+OK\r\n"
        "+OK\r\n",
        result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(0, result.status);
    if (std::string(each.log) == "FILE") {
      // The command's complaint comes first, as it is, then the session's own lines.
      const std::string text = read_file(log_path);
      EXPECT_EQ(0u, text.find("complaint\n")) << text;
      EXPECT_NE(std::string::npos, text.find("info: user alice authorized and mailbox locked\n"))
          << text;
    } else {
      EXPECT_FALSE(std::filesystem::exists(log_path));
    }
  }
  EXPECT_TRUE(maildir.has("first"));
}

// Under inetd or socket activation standard input and output are a socket. A client that goes
// away in the middle of a transmission makes the session fail like any output error: the process
// exits 1 and deletes nothing, instead of being killed by SIGPIPE.
TEST(FerndInetd, VanishedSocketClientEndsSessionWithStatusOne) {
  const temp_maildir maildir;
  const std::string line(99, 'x');
  std::string big;
  while (big.size() < (std::size_t{8} << 20)) {  // far more than socket buffers hold
    big += line + "\n";
  }
  maildir.add("big", big, 1000);
  const temp_directory logs;
  fernd_options options;
  options.socket_stdio = true;
  options.input =
      "USER alice\r\n"
      "PASS s3cret\r\n"
      "DELE 1\r\n"
      "RSET\r\n"
      "RETR 1\r\n";
  fernd_process process = fernd_start(
      {alice_auth, "--maildir=" + maildir.path, "--log=" + logs.file("log"), "--inetd"}, options);
  const pid_t pid = process.pid;
  // Read until the transmission is under way, then hang up.
  std::string seen;
  (void)read_until(
      process.output.fd, &seen, std::chrono::steady_clock::now() + fernd_process_limit,
      [&line](const std::string& text) { return text.find(line) != std::string::npos; });
  ASSERT_NE(std::string::npos, seen.find("+OK\r\n" + line + "\r\n")) << seen.substr(0, 200);
  process.input.reset();
  process.output.reset();
  const fernd_result result = fernd_finish(&process);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("", result.err);
  EXPECT_TRUE(maildir.has("big"));
  const log_lines log = read_log(logs.file("log"), pid);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("error", log.back().level);
  bool send_failed = false;
  for (const log_line& each : log) {
    send_failed = send_failed || each.message == "cannot send mail file " + maildir.new_path("big");
  }
  EXPECT_TRUE(send_failed);
}

TEST(FerndInetd, NoPasswordIsEverReadFromTheClient) {
  // Standard input is the client's connection. Whatever it sends before the greeting, the prompt
  // reads only a terminal, and there is none: start-up fails before the greeting.
  const temp_maildir maildir;
  maildir.add("m1", "secret mail\n");
  fernd_options options;
  options.socket_stdio = true;
  options.input = "chosen\nUSER alice\r\nPASS chosen\r\nRETR 1\r\nQUIT\r\n";
  const fernd_result result =
      fernd_run({"--auth=alice", "--maildir=" + maildir.path, "--inetd"}, options);
  EXPECT_EQ(3, result.status);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(std::string(FERND_BINARY) + ": cannot get password for (localhost, pop3, alice)\n",
            result.err);
}

TEST(FerndInetd, ConfigurationWarningsGoToTheLogNeverToTheClient) {
  // Under inetd standard error may be the client's connection too: nothing may reach the client
  // before the greeting. An empty password works, with a warning; a maildir that cannot be used
  // is named with its reason at start-up and again at the login it refuses.
  const temp_directory logs;
  const temp_maildir maildir;
  const std::string missing = maildir.path + "/absent";
  fernd_options options;
  options.input = "USER alice\r\nPASS \r\nQUIT\r\n";
  fernd_process process = fernd_start(
      {"--auth=alice,echo", "--maildir=" + missing, "--log=" + logs.file("fernd.log"), "--inetd"},
      options);
  const pid_t pid = process.pid;
  const fernd_result result = fernd_finish(&process);
  EXPECT_EQ("+OK fernd ready.\r\n+OK\r\n-ERR cannot access mailbox\r\n+OK\r\n", result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0, result.status);
  expect_log(
      {{"error",
        "warning: the password for user alice is empty: any client can log in as alice with an "
        "empty PASS"},
       {"error",
        "warning: cannot use maildir " + missing + " of user alice: No such file or directory"},
       {"info", "starting POP3 session"},
       {"info", "client started authorization"},
       {"error", "cannot open maildir " + missing + ": No such file or directory"},
       {"info", "authorization for user alice failed: cannot lock mailbox"},
       {"info", "client ended session"}},
      read_log(logs.file("fernd.log"), pid));
}

}  // namespace
}  // namespace fernd
