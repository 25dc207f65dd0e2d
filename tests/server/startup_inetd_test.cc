// fernd --inetd as inetd runs it: one POP3 session on standard input and output, then the exit.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "server/startup_process.h"
#include "support/fd_reading.h"
#include "support/log_lines.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

const std::string alice_auth = "--auth=alice,printf 's3cret\\n'";

/// Where a test's log file goes: a fresh directory (the maildir fixture's, of which only the
/// directory itself is used).
struct temp_directory {
  temp_maildir dir;
  std::string file(const std::string& name) const { return dir.path + "/" + name; }
};

TEST(FerndInetd, DialogueOnStandardInputAndOutputThenExit) {
  struct message {
    std::string name;
    std::string content;
    std::int64_t mtime;
    bool kept;  ///< still there after the session
  };
  struct dialogue {
    const char* what;
    std::vector<message> messages;     ///< alice's maildir
    std::vector<std::string> earlier;  ///< arguments before --maildir with alice's maildir
    std::vector<std::string> later;    ///< arguments after it, before --inetd
    std::string input;                 ///< all the client sends before its input ends
    std::string output;                ///< every byte the client receives
    int status;                        ///< fernd's exit status
    std::optional<log_lines> log;      ///< with a log file, what it holds; else --log is not given
  };
  const temp_maildir empty;
  const dialogue cases[] = {
      {"a session that retrieves and deletes exits 0",
       {{"first", "Hello\n.dot\nend", 1000, false}, {"second", "Second\r\n", 2000, true}},
       {},
       // --interface and --port mean nothing in inetd mode.
       {"--interface=not-an-address", "--port=9"},
       "USER alice\r\n"
       "PASS s3cret\r\n"
       "STAT\r\n"
       "RETR 1\r\n"
       "DELE 1\r\n"
       "QUIT\r\n",
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
       0,
       logged_login(2) + logged_update(1)},
      {"the end of input mid-session exits 1 and deletes nothing",
       {{"first", "one\n", 1000, true}, {"second", "two\n", 2000, true}},
       {},
       {},
       "USER alice\r\n"
       "PASS s3cret\r\n"
       "DELE 1\r\n"
       "DELE 2\r\n"
       "QU",
       "+OK fernd ready.\r\n"
       "+OK\r\n"
       "+OK\r\n"
       "+OK\r\n"
       "+OK\r\n",
       1,
       logged_login(2) + logged_input_error},
      // The session ended normally, but with a failed password check: status 2, which exits 1.
      {"a failed login exits 1",
       {{"first", "one\n", 1000, true}},
       {},
       {},
       "USER alice\r\n"
       "PASS S3cret\r\n"
       "QUIT\r\n",
       "+OK fernd ready.\r\n"
       "+OK\r\n"
       "-ERR authorization failed\r\n"
       "+OK\r\n",
       1,
       std::nullopt},
      {"a later --maildir replaces an earlier one",
       {{"only", "12345", 1000, true}},
       {"--maildir=" + empty.path},
       {},
       "USER alice\r\n"
       "PASS s3cret\r\n"
       "STAT\r\n"
       "QUIT\r\n",
       "+OK fernd ready.\r\n"
       "+OK\r\n"
       "+OK\r\n"
       "+OK 1 5\r\n"
       "+OK\r\n",
       0,
       std::nullopt},
  };
  for (const dialogue& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_maildir maildir;
    for (const message& each : c.messages) {
      maildir.add(each.name, each.content, each.mtime);
    }
    const temp_directory logs;
    std::vector<std::string> args = {alice_auth};
    args.insert(args.end(), c.earlier.begin(), c.earlier.end());
    args.push_back("--maildir=" + maildir.path);
    if (c.log.has_value()) {
      args.push_back("--log=" + logs.file("fernd.log"));
    }
    args.insert(args.end(), c.later.begin(), c.later.end());
    args.push_back("--inetd");
    fernd_options options;
    options.input = c.input;
    fernd_process process = fernd_start(args, options);
    const fernd_result result = fernd_finish(&process);
    EXPECT_EQ(c.output, result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(c.status, result.status);
    for (const message& each : c.messages) {
      EXPECT_EQ(each.kept, maildir.has(each.name)) << each.name;
    }
    if (c.log.has_value()) {
      EXPECT_EQ(*c.log, log_lines_read(logs.file("fernd.log"), process.child.pid));
    }
    // In inetd mode every password check waits a second, the first one included.
    EXPECT_GE(result.elapsed, std::chrono::seconds(1));
  }
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
    const fernd_result result = fernd_finish(&process);
    EXPECT_EQ("+OK fernd ready.\r\n+OK\r\n", result.out);
    EXPECT_EQ(0, result.status);
    const std::string path = cwd.file(each.argument);
    EXPECT_EQ(each.file, std::filesystem::exists(path));
    if (each.file) {
      EXPECT_EQ(logged_session_start + logged_session_quit,
                log_lines_read(path, process.child.pid));
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
  const log_lines log = log_lines_read(logs.file("log"), process.child.pid);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(0u, log.back().rfind("error: ", 0)) << log.back();
  EXPECT_TRUE(log_lines_has(log, logged_cannot_send(maildir.new_path("big"))));
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
  EXPECT_EQ(std::string(FERND_BINARY) + ": cannot get password for (localhost, pop3, alice)\n" +
                FERND_BINARY +
                ": there is no terminal to ask for it on; give a command that prints it instead: "
                "--auth=alice,COMMAND\n",
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
  const fernd_result result = fernd_finish(&process);
  EXPECT_EQ("+OK fernd ready.\r\n+OK\r\n-ERR cannot access mailbox\r\n+OK\r\n", result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0, result.status);
  const log_lines warnings = {
      "error: warning: the password for user alice is empty: any client can log in as alice with "
      "an empty PASS",
      "error: warning: cannot use maildir " + missing +
          " of user alice: No such file or directory"};
  EXPECT_EQ(warnings + logged_session_start + logged_user_accepted +
                log_lines{"error: cannot open maildir " + missing + ": No such file or directory"} +
                logged_mailbox_refused("alice") + logged_session_quit,
            log_lines_read(logs.file("fernd.log"), process.child.pid));
}

}  // namespace
}  // namespace fernd
