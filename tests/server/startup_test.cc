#include "server/startup.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "server/startup_process.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

const std::string program = FERND_BINARY;

/// Every start-up message begins with argument zero; "$0" in an expected text stands for it.
std::string expand(std::string text, const std::string& argv0 = program) {
  for (std::size_t at = text.find("$0"); at != std::string::npos; at = text.find("$0", at)) {
    text.replace(at, 2, argv0);
    at += argv0.size();
  }
  return text;
}

const std::string help_text =
    "Usage: fernd [option...]\n"
    "Options:\n"
    "  --version       print version\n"
    "  --help          print help\n"
    "  --inetd         start single POP3 session on stdin/stdout\n"
    "  --interface=ip  listen on ip instead of 127.0.0.1\n"
    "  --port=number   listen on port number instead of 1100\n"
    "  --log=none|syslog|FILE  do not log anything (default)\n"
    "                  or log to syslog or log to the given file\n"
    "  --auth=user[,passwordeval] require authentication with this user name;\n"
    "                  the password will be retrieved from the given\n"
    "                  passwordeval command or, if none is given, from\n"
    "                  the key ring or, if that fails, from a prompt.\n"
    "  --maildir=dir   use this maildir as mailbox\n"
    "  --top           serve the TOP command and announce it in CAPA\n"
    "  --resp-codes    say in refusals after PASS why ([AUTH], [IN-USE],\n"
    "                  [SYS/TEMP]) and announce RESP-CODES in CAPA\n"
    "Each pair of --auth and --maildir options defines one POP3 mailbox.\n"
    "At least one such pair must be given.\n";

const std::string version_line = "fernd version " FERND_VERSION "\n";

/// What follows "cannot get password for (...)" when there is no terminal to ask on.
const std::string no_terminal =
    "$0: there is no terminal to ask for it on; give a command that prints it instead: "
    "--auth=alice,COMMAND\n";

/// An address of no interface of this machine (TEST-NET-1): the listener cannot bind it.
const std::string not_local = "192.0.2.1";
const std::string cannot_bind_not_local =
    "$0: cannot bind to 192.0.2.1:1100: Cannot assign requested address\n";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) {
    lines.push_back(text.substr(start));  // a last line without its LF
  }
  return lines;
}

std::string version_output() {
  const fernd_result result = fernd_run({"--version"});
  EXPECT_EQ(0, result.status);
  return result.out;
}

/// The arguments as a trace shows them, each in brackets: empty ones and blanks stay visible.
std::string args_trace(const std::vector<std::string>& args) {
  std::string trace;
  for (const std::string& arg : args) {
    trace += " [" + arg + "]";
  }
  return trace;
}

struct command_case {
  std::vector<std::string> args;
  std::string err;  ///< "$0" stands for argument zero
  std::string out;
  int status;
};

TEST(FerndCommandLine, MessagesOutputAndStatus) {
  const std::string version = version_output();
  ASSERT_EQ(0u, version.rfind(version_line, 0));
  // A passwordeval command that shows on standard error when it runs, and where.
  const std::string ran_a = "--auth=alice,echo ran alice >&2; printf a";
  const std::string ran_b = "--auth=bob,echo ran bob >&2; printf b";
  const command_case cases[] = {
      {{}, "$0: missing --auth and --maildir option\n", "", 3},
      {{"--inetd"}, "$0: missing --auth and --maildir option\n", "", 3},
      {{"--log="}, "$0: option '--log' requires non-empty argument\n", "", 3},
      {{"--log", ""}, "$0: option '--log' requires non-empty argument\n", "", 3},
      // An abbreviated option is reported by its full name.
      {{"--lo="}, "$0: option '--log' requires non-empty argument\n", "", 3},
      {{"--port="}, "$0: option '--port' requires non-empty argument\n", "", 3},
      {{"--interface="}, "$0: option '--interface' requires non-empty argument\n", "", 3},
      {{"--auth="}, "$0: option '--auth' requires non-empty argument\n", "", 3},
      {{"--maildir="}, "$0: option '--maildir' requires non-empty argument\n", "", 3},
      {{"--maildir=/m", ran_a},
       "$0: option '--maildir' requires preceding option '--auth'\n",
       "",
       3},
      // Passwords are obtained while parsing: for every --auth before the failing option, and
      // for none after it.
      {{ran_a, "--log=", ran_b},
       "ran alice\n$0: option '--log' requires non-empty argument\n",
       "",
       3},
      {{ran_a, "--auth=carol,", ran_b},
       "ran alice\n$0: cannot get password: cannot read output of ''\n",
       "",
       3},
      {{"--auth=alice,true"}, "$0: cannot get password: cannot read output of 'true'\n", "", 3},
      {{"--auth=alice,printf ''"},
       "$0: cannot get password: cannot read output of 'printf '''\n",
       "",
       3},
      {{"stray", ran_a, "--maildir=/m"}, "ran alice\n$0: too many arguments\n", "", 3},
      {{ran_a, "--maildir=/m", "stray"}, "ran alice\n$0: too many arguments\n", "", 3},
      // In inetd mode standard error may be the client's connection: the command's errors go
      // to /dev/null when there is no log file, and fernd's own messages stay.
      {{"stray", ran_a, "--maildir=/m", "--inetd"}, "$0: too many arguments\n", "", 3},
      {{ran_a, "--maildir=/m", "--inetd", "stray"}, "$0: too many arguments\n", "", 3},
      {{"--help", "stray"}, "$0: too many arguments\n", "", 3},
      {{"--help", "--port="}, "$0: option '--port' requires non-empty argument\n", "", 3},
      {{ran_a, ran_b, "--maildir=/m"},
       "ran alice\nran bob\n$0: missing --maildir option for user alice\n",
       "",
       3},
      {{ran_a, ran_b},
       "ran alice\nran bob\n"
       "$0: missing --maildir option for user alice\n"
       "$0: missing --maildir option for user bob\n",
       "",
       3},
      {{ran_a, "--maildir=/m", "--auth=carol,printf c", ran_b, "--maildir=/m"},
       "ran alice\nran bob\n$0: missing --maildir option for user carol\n",
       "",
       3},
      // An empty user name makes an account like any other.
      {{"--auth=,printf x"}, "$0: missing --maildir option for user \n", "", 3},
      {{"--help"}, "", help_text, 0},
      {{"--version"}, "", version, 0},
      {{"--help", "--version"}, "", version, 0},
      {{"--version", "--help"}, "", version, 0},
      // Version and help come before the account checks, but after the passwords.
      {{ran_a, "--help"}, "ran alice\n", help_text, 0},
      {{ran_a, "--maildir=/m", "--version"}, "ran alice\n", version, 0},
      {{ran_a, "--maildir=/m", "--version", "--inetd"}, "", version, 0},
  };
  for (const command_case& each : cases) {
    SCOPED_TRACE(args_trace(each.args));
    const fernd_result result = fernd_run(each.args);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(expand(each.err), result.err);
    EXPECT_EQ(each.out, result.out);
    EXPECT_EQ(each.status, result.status);
  }
}

TEST(FerndCommandLine, MissingPasswordCommandFailsLikeEmptyOutput) {
  const std::string command = "fernd-test-no-such-command";
  const fernd_result result = fernd_run({"--auth=alice," + command, "--maildir=/m"});
  EXPECT_EQ(3, result.status);
  EXPECT_EQ("", result.out);
  // The shell's own complaint comes first, in the shell's words.
  const std::string ours = expand("$0: cannot get password: cannot read output of '" + command +
                                  "': it exited with status 127\n");
  ASSERT_GE(result.err.size(), ours.size());
  EXPECT_EQ(ours, result.err.substr(result.err.size() - ours.size()));
  EXPECT_NE(std::string::npos, result.err.find(command));
}

TEST(FerndCommandLine, GetoptReportsUnknownOptionsAndMissingArguments) {
  const std::vector<std::string> cases[] = {
      {"--bogus"},   {"--port"}, {"--auth"}, {"--help=yes"}, {"-h"}, {"--inetd", "--maildir"},
      {"--top=yes"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args.back());
    const fernd_result result = fernd_run(args);
    EXPECT_EQ(3, result.status);
    EXPECT_EQ("", result.out);
    // getopt_long's message alone, in its own words: one line naming the program and the option.
    const std::vector<std::string> lines = lines_of(result.err);
    ASSERT_EQ(1u, lines.size()) << result.err;
    EXPECT_EQ(0u, lines[0].rfind(program + ": ", 0)) << lines[0];
    const std::string name = args.back().substr(0, args.back().find('='));
    EXPECT_NE(std::string::npos, lines[0].find(name.substr(name.find_first_not_of('-'))))
        << lines[0];
    EXPECT_EQ(std::string::npos, lines[0].find("missing --auth")) << lines[0];
  }
}

TEST(FerndCommandLine, MessagesBeginWithArgumentZeroUnshortened) {
  const std::string names[] = {program, "fernd", "./relative/../path/fernd-renamed",
                               "/with blank/fernd"};
  for (const std::string& argv0 : names) {
    SCOPED_TRACE(argv0);
    fernd_options options;
    options.argv0 = argv0;
    const fernd_result missing = fernd_run({}, options);
    EXPECT_EQ(argv0 + ": missing --auth and --maildir option\n", missing.err);
    const fernd_result stray = fernd_run({"stray"}, options);
    EXPECT_EQ(argv0 + ": too many arguments\n", stray.err);
  }
}

TEST(FerndCommandLine, VersionNamesPackageVersionAndLicence) {
  const std::string version = version_output();
  const std::vector<std::string> lines = lines_of(version);
  ASSERT_EQ(5u, lines.size()) << version;
  EXPECT_EQ(version_line, lines[0] + "\n");
  EXPECT_EQ('\n', version.back());
  EXPECT_NE(std::string::npos, lines[1].find("2026 The fernd developers")) << lines[1];
  EXPECT_NE(std::string::npos, version.find("MIT License")) << version;
  // The notice points at a licence that is really there.
  const std::string licence = read_file(FERND_SOURCE_DIR "/LICENSE");
  EXPECT_EQ(0u, licence.rfind("MIT License\n\nCopyright (c) 2026 The fernd developers\n", 0));
  EXPECT_NE(std::string::npos, licence.find("WITHOUT WARRANTY OF ANY KIND")) << licence;
}

TEST(FerndCommandLine, FailedListenerExitsThree) {
  // Not an address: the listener cannot bind it, reports why and returns.
  const fernd_result result =
      fernd_run({"--auth=alice,printf x", "--maildir=/m", "--interface=no.such.address"});
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(3, result.status);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(0u, result.err.rfind(program + ": ", 0)) << result.err;
}

TEST(FerndCommandLine, MemoryExhaustionEndsWithEnomemText) {
#ifdef FERND_TEST_ASAN
  GTEST_SKIP() << "an address-space limit leaves no room for AddressSanitizer's shadow memory";
#else
  // The program starts in far less than this, but a password line of 100 MB cannot fit.
  fernd_options options;
  options.address_space = rlim_t{64} << 20;
  const fernd_result result = fernd_run(
      {"--auth=alice,head -c 100000000 /dev/zero | tr '\\0' x", "--maildir=/m", "--inetd"},
      options);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(3, result.status);
  EXPECT_EQ("", result.out);
  EXPECT_EQ(std::string(std::strerror(ENOMEM)) + "\n", result.err);
  // The same limit leaves a normal start-up alone.
  const fernd_result normal = fernd_run({"--auth=alice,printf x", "--version"}, options);
  EXPECT_EQ(0, normal.status);
  EXPECT_EQ(0u, normal.out.rfind(version_line, 0));
#endif
}

struct password_case {
  std::string auth;  ///< the --auth argument
  std::string user;
  std::string password;  ///< what the command's output must give
};

// Each passwordeval command is observed end to end: the password it yields must log in.
TEST(FerndCommandLine, PasswordevalFirstLineIsThePassword) {
  const password_case cases[] = {
      {"alice,printf 'one\\n'", "alice", "one"},
      {"alice,printf 'first\\nsecond\\nthird\\n'", "alice", "first"},
      {"alice,printf 'crlf\\r\\n'", "alice", "crlf"},
      {"alice,printf nolf", "alice", "nolf"},
      {"alice,printf 'endcr\\r'", "alice", "endcr\r"},
      {"alice,printf '\\n'", "alice", ""},
      {"alice,printf '\\r\\n'", "alice", ""},
      {"alice,printf ' two  blanks \\n'", "alice", " two  blanks "},
      {"alice,printf '%0500d\\n' 0", "alice", std::string(500, '0')},
      {"alice,printf '%0501d\\n' 0", "alice", std::string(501, '0')},
      {"alice,printf '%0501d' 0", "alice", std::string(501, '0')},
      {"alice,printf '%01002d\\r\\n' 0", "alice", std::string(1002, '0')},
      {"alice,printf '%01010d' 0", "alice", std::string(1010, '0')},
      {"alice,printf 'failing\\n'; exit 3", "alice", "failing"},
      // The first comma ends the user name; the command may hold more.
      {"alice,printf 'x,y\\n'", "alice", "x,y"},
      {",printf 'nobody\\n'", "", "nobody"},
  };
  // Every login waits a second; the sessions run side by side, each on a mailbox of its own.
  std::deque<temp_maildir> maildirs;
  std::vector<fernd_process> processes;
  for (const password_case& each : cases) {
    fernd_options options;
    options.input = "USER " + each.user + "\r\nPASS " + each.password + "\r\nQUIT\r\n";
    processes.push_back(fernd_start(
        {"--auth=" + each.auth, "--maildir=" + maildirs.emplace_back().path, "--inetd"}, options));
  }
  for (std::size_t i = 0; i < processes.size(); ++i) {
    SCOPED_TRACE(cases[i].auth);
    const fernd_result result = fernd_finish(&processes[i]);
    EXPECT_EQ(
        "+OK fernd ready.\r\n"
        "+OK\r\n"
        "+OK\r\n"
        "+OK\r\n",
        result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(0, result.status);
  }
}

/// What a terminal shows of \a text: its output processing turns every LF into CR LF.
std::string on_terminal(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\n') {
      shown += '\r';
    }
    shown += c;
  }
  return shown;
}

const std::string alice_prompt = "password for alice at localhost: ";

TEST(FerndPrompt, HelpAndVersionPromptFirst) {
  const std::string version = version_output();
  const struct {
    const char* option;
    const std::string& out;
  } cases[] = {{"--version", version}, {"--help", help_text}};
  for (const auto& each : cases) {
    SCOPED_TRACE(each.option);
    fernd_terminal terminal =
        fernd_start_on_terminal({"--auth=alice", "--maildir=/m", each.option}, false);
    std::string shown;
    ASSERT_TRUE(fernd_terminal_await(&terminal, alice_prompt, &shown)) << shown;
    fernd_terminal_type(&terminal, "secret\n");
    EXPECT_EQ(0, fernd_terminal_finish(&terminal, &shown));
    // Nothing is printed before the password was given; the typed password is not echoed.
    EXPECT_EQ(alice_prompt + "\r\n" + on_terminal(each.out), shown);
  }
}

TEST(FerndPrompt, PromptsForEveryAuthInOrder) {
  fernd_terminal terminal =
      fernd_start_on_terminal({"--auth=alice", "--auth=bob,printf b", "--auth=carol"}, false);
  std::string shown;
  ASSERT_TRUE(fernd_terminal_await(&terminal, alice_prompt, &shown)) << shown;
  fernd_terminal_type(&terminal, "a\n");
  ASSERT_TRUE(fernd_terminal_await(&terminal, "password for carol at localhost: ", &shown))
      << shown;
  fernd_terminal_type(&terminal, "\n");  // an empty password is a password too
  EXPECT_EQ(3, fernd_terminal_finish(&terminal, &shown));
  EXPECT_EQ(alice_prompt + "\r\n" + "password for carol at localhost: \r\n" +
                on_terminal(expand("$0: missing --maildir option for user alice\n"
                                   "$0: missing --maildir option for user bob\n"
                                   "$0: missing --maildir option for user carol\n")),
            shown);
}

TEST(FerndPrompt, TypedPasswordLogsIn) {
  const temp_maildir maildir;
  fernd_options options;
  options.input =
      "USER alice\r\n"
      "PASS typed secret\r\n"
      "QUIT\r\n";
  fernd_terminal terminal = fernd_start_on_terminal(
      {"--auth=alice", "--maildir=" + maildir.path, "--inetd"}, true, options);
  std::string shown;
  ASSERT_TRUE(fernd_terminal_await(&terminal, alice_prompt, &shown)) << shown;
  fernd_terminal_type(&terminal, "typed secret\n");
  const fernd_result result = fernd_finish(&terminal.process);
  EXPECT_EQ(
      "+OK fernd ready.\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK\r\n",
      result.out);
  EXPECT_EQ(0, result.status);
}

TEST(FerndPrompt, InputEndingAtThePromptGivesNoPassword) {
  // Ctrl-D at the prompt, at once or after a few characters: no password, no start.
  for (const std::string typed : {"\x04", "abc\x04\x04"}) {
    SCOPED_TRACE(testing::PrintToString(typed));
    fernd_terminal terminal = fernd_start_on_terminal({"--auth=alice", "--maildir=/m"}, false);
    std::string shown;
    ASSERT_TRUE(fernd_terminal_await(&terminal, alice_prompt, &shown)) << shown;
    fernd_terminal_type(&terminal, typed);
    EXPECT_EQ(3, fernd_terminal_finish(&terminal, &shown));
    EXPECT_EQ(alice_prompt + "\r\n" +
                  on_terminal(expand(
                      "$0: cannot get password for (localhost, pop3, alice)\n"
                      "$0: input ended at the prompt before the line did; type the password and "
                      "Enter, or give a command that prints it: --auth=alice,COMMAND\n")),
              shown);
  }
}

TEST(FerndCommandLine, PasswordIsNeverReadFromStandardInput) {
  // Started without a terminal (a script, nohup, a service unit), fernd must not take a line of
  // its standard input, or the end of it, for a password.
  for (const std::string input : {"", "chosen\n"}) {
    SCOPED_TRACE(testing::PrintToString(input));
    fernd_options options;
    options.input = input;
    const fernd_result result = fernd_run({"--auth=alice", "--maildir=/m"}, options);
    EXPECT_EQ(3, result.status);
    EXPECT_EQ(expand("$0: cannot get password for (localhost, pop3, alice)\n" + no_terminal),
              result.err);
  }
}

TEST(FerndCommandLine, PortIsADecimalNumberFrom0To65535) {
  // A bad port fails before any password is asked for, wherever it stands.
  const std::string ran_a = "--auth=alice,echo ran alice >&2; printf a";
  for (const std::string port : {"abc", "87667", "65536", "-1", "+80", " 80", "80 ", "0x50", "1e3",
                                 "99999999999999999999"}) {
    SCOPED_TRACE(port);
    const fernd_result result = fernd_run({ran_a, "--maildir=/m", "--port=" + port, "--inetd"});
    EXPECT_EQ(3, result.status);
    EXPECT_EQ(expand("$0: invalid port '" + port + "': a port is a number from 0 to 65535\n"),
              result.err);
  }
  // Valid ports reach the listener; an address that is no local one ends it after the checks.
  for (const std::string port : {"0", "1100", "65535", "00110"}) {
    SCOPED_TRACE(port);
    const fernd_result result = fernd_run(
        {"--auth=alice,printf a", "--maildir=/m", "--port=" + port, "--interface=" + not_local});
    EXPECT_EQ(3, result.status);
    EXPECT_NE(std::string::npos, result.err.find("cannot bind to " + not_local)) << result.err;
  }
}

TEST(FerndCommandLine, InterfaceIsAnAddressCheckedBeforeAnyPassword) {
  // A host name is never looked up: it fails before any password is asked for, with a hint. The
  // last --interface counts; inetd mode listens nowhere and ignores it.
  const std::string ran_a = "--auth=alice,echo ran alice >&2; printf a";
  for (const std::string interface : {"localhost", "x", "127.0.0.1 ", "::1%", "1.2.3"}) {
    SCOPED_TRACE(interface);
    const fernd_result result =
        fernd_run({ran_a, "--maildir=/m", "--interface=127.0.0.1", "--interface=" + interface});
    EXPECT_EQ(3, result.status);
    EXPECT_EQ(expand("$0: invalid interface '" + interface +
                     "': give an IPv4 or IPv6 address, such as 127.0.0.1 or ::1; host names are "
                     "not looked up\n"),
              result.err);
  }
  const fernd_result inetd =
      fernd_run({ran_a, "--maildir=/m", "--interface=localhost", "--inetd"}, {});
  EXPECT_EQ("+OK fernd ready.\r\n", inetd.out) << inetd.err;
  EXPECT_EQ(std::string::npos, inetd.err.find("invalid interface")) << inetd.err;
}

TEST(FerndCommandLine, WarnsOfEmptyPasswordsAndUnusableMaildirs) {
  // Not fatal: a maildir may be made after fernd starts, and an empty password is a password.
  // Standalone, each is named on standard error before the listener starts (which an address that
  // is none ends here).
  const temp_maildir box;
  write_file(box.path + "/file", "x");
  const temp_maildir without_new;
  ASSERT_EQ(0, ::rmdir((without_new.path + "/new").c_str()));
  const struct {
    std::string maildir;
    std::string warning;
  } cases[] = {
      {box.path, ""},
      {box.path + "/absent", "No such file or directory"},
      // A relative path is walked from "/" through the working directory, which is named.
      {"~/Maildir", std::filesystem::current_path().string() +
                        "/~: No such file or directory (a ~ is expanded by the shell only at the "
                        "start of a word)"},
      {without_new.path, "new/: No such file or directory"},
      {box.path + "/new", "new/: No such file or directory"},
      {box.path + "/file", "Not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maildir);
    const fernd_result result =
        fernd_run({"--auth=alice,printf a", "--maildir=" + c.maildir, "--interface=" + not_local});
    const std::string warning = c.warning.empty() ? ""
                                                  : "$0: warning: cannot use maildir " + c.maildir +
                                                        " of user alice: " + c.warning + "\n";
    EXPECT_EQ(expand(warning + cannot_bind_not_local), result.err);
    EXPECT_EQ(3, result.status);
  }
  const fernd_result empty =
      fernd_run({"--auth=alice,echo", "--maildir=" + box.path, "--interface=" + not_local});
  EXPECT_EQ(expand("$0: warning: the password for user alice is empty: any client can log in as "
                   "alice with an empty PASS\n" +
                   cannot_bind_not_local),
            empty.err);
  for (const std::string& dir : {box.path, box.path + "/new", without_new.path}) {
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir + "/fernd.lock")))
        << dir;
  }
}

struct parse_case {
  std::vector<std::string> args;
  startup_config expected;
};

startup_config configured(int port, const char* interface, bool to_syslog, const char* log_file) {
  startup_config config;
  config.port = port;
  config.interface = interface;
  config.log_to_syslog = to_syslog;
  config.log_file = log_file;
  return config;
}

/// A command line for parse_command_line: argument zero "fernd", then \a args. argv points into
/// strings, and so may the configuration that it is parsed into: both live as long as this.
struct command_line {
  std::vector<std::string> strings;
  std::vector<char*> argv;

  explicit command_line(const std::vector<std::string>& args) : strings{"fernd"} {
    strings.insert(strings.end(), args.begin(), args.end());
    for (std::string& arg : strings) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
  }
  command_line(const command_line&) = delete;
  command_line& operator=(const command_line&) = delete;

  int argc() const { return static_cast<int>(strings.size()); }
};

bool points_into(const char* text, const std::vector<std::string>& strings) {
  for (const std::string& each : strings) {
    if (text >= each.data() && text < each.data() + each.size()) {
      return true;
    }
  }
  return false;
}

TEST(ParseCommandLine, FillsTheConfiguration) {
  const parse_case cases[] = {
      {{}, configured(1100, "127.0.0.1", false, nullptr)},
      {{"--port=2110"}, configured(2110, "127.0.0.1", false, nullptr)},
      {{"--port", "0"}, configured(0, "127.0.0.1", false, nullptr)},
      {{"--port=65535"}, configured(65535, "127.0.0.1", false, nullptr)},
      {{"--port=007"}, configured(7, "127.0.0.1", false, nullptr)},
      {{"--interface=::1"}, configured(1100, "::1", false, nullptr)},
      {{"--log=none"}, configured(1100, "127.0.0.1", false, nullptr)},
      {{"--log=syslog"}, configured(1100, "127.0.0.1", true, nullptr)},
      {{"--log=None"}, configured(1100, "127.0.0.1", false, "None")},
      {{"--log=Syslog"}, configured(1100, "127.0.0.1", false, "Syslog")},
      {{"--log=syslog "}, configured(1100, "127.0.0.1", false, "syslog ")},
      {{"--log=/var/log/fernd"}, configured(1100, "127.0.0.1", false, "/var/log/fernd")},
      // A later --log overrides an earlier one.
      {{"--log=syslog", "--log=none"}, configured(1100, "127.0.0.1", false, nullptr)},
      {{"--log=f", "--log=syslog"}, configured(1100, "127.0.0.1", true, nullptr)},
      {{"--log=syslog", "--log=f"}, configured(1100, "127.0.0.1", false, "f")},
  };
  for (const parse_case& each : cases) {
    SCOPED_TRACE(args_trace(each.args));
    command_line line(each.args);
    startup_config config;
    ASSERT_TRUE(parse_command_line(line.argc(), line.argv.data(), &config));
    EXPECT_EQ(each.expected.port, config.port);
    EXPECT_STREQ(each.expected.interface, config.interface);
    EXPECT_EQ(each.expected.log_to_syslog, config.log_to_syslog);
    EXPECT_STREQ(each.expected.log_file, config.log_file);
    EXPECT_FALSE(config.inetd);
    EXPECT_FALSE(config.show_help);
    EXPECT_FALSE(config.show_version);
    EXPECT_TRUE(config.accounts.empty());
    // The texts are the arguments themselves, inside argv, not copies.
    if (config.log_file != nullptr) {
      EXPECT_TRUE(points_into(config.log_file, line.strings));
    }
    if (std::strcmp(config.interface, startup_default_interface) != 0) {
      EXPECT_TRUE(points_into(config.interface, line.strings));
    }
  }
}

TEST(ParseCommandLine, TopOnlyWhenAsked) {
  const struct {
    std::vector<std::string> args;
    bool top;
  } cases[] = {
      {{}, false},
      {{"--top"}, true},
      {{"--top", "--top"}, true},
      {{"--inetd", "--top", "--port=2110"}, true},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(args_trace(each.args));
    command_line line(each.args);
    startup_config config;
    ASSERT_TRUE(parse_command_line(line.argc(), line.argv.data(), &config));
    EXPECT_EQ(each.top, config.top);
  }
}

TEST(ParseCommandLine, BuildsAccountsInOrder) {
  command_line line({"--auth=alice,printf 'a1\\n'", "--maildir=/first", "--maildir=/second",
                     "--inetd", "--auth=,printf e", "--maildir=/empty", "--auth=alice,printf a2",
                     "--maildir=/a2", "--version", "--help"});
  startup_config config;
  ASSERT_TRUE(parse_command_line(line.argc(), line.argv.data(), &config));
  EXPECT_TRUE(config.inetd);
  EXPECT_TRUE(config.show_version);
  EXPECT_TRUE(config.show_help);
  ASSERT_EQ(3u, config.accounts.size());
  const char* const expected[][3] = {
      {"alice", "a1", "/second"}, {"", "e", "/empty"}, {"alice", "a2", "/a2"}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i][0], config.accounts[i].user);
    EXPECT_EQ(expected[i][1], config.accounts[i].password);
    EXPECT_EQ(std::optional<std::string>(expected[i][2]), config.accounts[i].maildir);
  }
}

}  // namespace
}  // namespace fernd
