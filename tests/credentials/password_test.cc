#include "credentials/password.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/exit_status.h"
#include "common/must_alloc.h"
#include "common/posix_handle.h"
#include "support/alloc_failure.h"
#include "support/child_process.h"
#include "support/fd_count.h"
#include "support/fd_reading.h"
#include "support/pseudo_terminal.h"
#include "support/temp_maildir.h"
#include "support/wipe_record.h"

namespace fernd {
namespace {

// True when this process has no child at all, reaped or not.
bool has_no_children() {
  return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// A shell command that prints \a count times 'x', then \a tail.
std::string repeat_x(int count, const char* tail) {
  return "printf '%" + std::to_string(count) + "s' '' | tr ' ' x; printf '" + tail + "'";
}

struct eval_case {
  std::string command;
  int result;
  std::optional<std::string> password;
  std::optional<std::string> error;
};

void check_eval(const eval_case& c) {
  SCOPED_TRACE("command: " + c.command);
  const int fds_before = open_fd_count();
  const password_result got = password_eval(c.command.c_str());
  EXPECT_EQ(c.result == 0, got.password.has_value());
  EXPECT_EQ(c.password, got.password);
  EXPECT_EQ(c.error, got.error);
  EXPECT_EQ(fds_before, open_fd_count());
  EXPECT_TRUE(has_no_children());
}

TEST(PasswordEval, FirstLineOfOutput) {
  const eval_case cases[] = {
      {"printf 'secret\\n'", 0, "secret", std::nullopt},
      {"printf 'first\\nsecond\\nthird\\n'", 0, "first", std::nullopt},
      {"printf 'crlf\\r\\n'", 0, "crlf", std::nullopt},
      {"printf 'crlf\\r\\nnext\\r\\n'", 0, "crlf", std::nullopt},
      {"printf 'two\\r\\r\\n'", 0, "two\r", std::nullopt},
      {"printf 'in\\rside\\n'", 0, "in\rside", std::nullopt},
      {"printf 'no final lf'", 0, "no final lf", std::nullopt},
      {"printf 'final cr\\r'", 0, "final cr\r", std::nullopt},
      {"printf ' \\t blanks kept \\n'", 0, " \t blanks kept ", std::nullopt},
      {"printf '\\n'", 0, "", std::nullopt},
      {"printf '\\r\\n'", 0, "", std::nullopt},
      {"printf '\\nsecond\\n'", 0, "", std::nullopt},
      {"printf '\\\\no escapes\\n'", 0, "\\no escapes", std::nullopt},
      // A line with a NUL byte is cut there; the rest of the output is not read.
      {"printf 'ab\\000cd\\nnext\\n'", 0, "ab", std::nullopt},
      {"printf '\\000\\n'", 0, "", std::nullopt},
      // The exit status decides nothing: a line is the password however the command ends, and
      // a command without output fails however it ends; the message says how it ended.
      {"printf 'line\\n'; exit 3", 0, "line", std::nullopt},
      {"printf 'partial'; exit 1", 0, "partial", std::nullopt},
      // Output after the first line is left unread; the writer ends on the closed pipe.
      {"printf 'first\\n'; yes", 0, "first", std::nullopt},
      {"printf ''", 1, std::nullopt, "cannot read output of 'printf '''"},
      {"", 1, std::nullopt, "cannot read output of ''"},
      {"exit 3", 1, std::nullopt, "cannot read output of 'exit 3': it exited with status 3"},
      {"kill -TERM $$", 1, std::nullopt,
       "cannot read output of 'kill -TERM $$': it was ended by signal 15 (Terminated)"},
      {"echo to stderr >&2", 1, std::nullopt, "cannot read output of 'echo to stderr >&2'"},
      // The shell complains on standard error; the shell itself ran.
      {"fernd-no-such-command-4711", 1, std::nullopt,
       "cannot read output of 'fernd-no-such-command-4711': it exited with status 127"},
  };
  for (const eval_case& c : cases) {
    check_eval(c);
  }
}

TEST(PasswordEval, LongLinesAcrossReadSteps) {
  // One read takes 501 characters: lengths around one and two reads, and many reads.
  for (const int length : {500, 501, 502, 1002, 1003, 1004, 5000}) {
    const std::string x(static_cast<std::size_t>(length), 'x');
    check_eval({repeat_x(length, ""), 0, x, std::nullopt});
    check_eval({repeat_x(length, "\\n"), 0, x, std::nullopt});
    check_eval({repeat_x(length, "\\r\\n"), 0, x, std::nullopt});
    check_eval({repeat_x(length, "\\r"), 0, x + "\r", std::nullopt});
    check_eval({repeat_x(length, "\\nsecond line\\n"), 0, x, std::nullopt});
  }
}

TEST(PasswordEval, WaitsForTheCommandAfterTheFirstLine) {
  const temp_maildir dir;
  const std::string marker = dir.path + "/ended";
  // `yes` blocks until the pipe is closed; the shell then writes the marker and ends. pclose must
  // wait for all of that before password_eval returns.
  const std::string command = "printf 'first\\nsecond\\n'; yes; echo done > " + marker;
  const password_result got = password_eval(command.c_str());
  EXPECT_EQ("first", got.password);
  EXPECT_EQ(std::nullopt, got.error);
  EXPECT_TRUE(has_no_children());
  EXPECT_EQ("done\n", read_file(marker));
}

TEST(PasswordEval, FailureToStartNamesTheSystemError) {
  // With every descriptor in use, no pipe can be made for the command's output.
  const child_outcome outcome = run_in_child([] {
    const rlimit limit{16, 16};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      ::_exit(2);
    }
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
    const password_result got = password_eval("printf 'x\\n'");
    const int saved_errno = errno;
    std::fprintf(stderr, "%d|%s|%s|%d", got.password.has_value() ? 0 : 1,
                 got.password.has_value() ? "password" : "none", got.error.value_or("none").c_str(),
                 saved_errno == EMFILE ? 1 : 0);
    ::_exit(0);
  });
  ASSERT_TRUE(WIFEXITED(outcome.wait_status));
  ASSERT_EQ(0, WEXITSTATUS(outcome.wait_status)) << outcome.err;
  EXPECT_EQ("1|none|cannot evaluate 'printf 'x\\n'': " + std::string(std::strerror(EMFILE)) + "|1",
            outcome.err);
}

TEST(PasswordEval, LeavesNoCopyOfThePasswordBehind) {
  // Neither the room that the output is read into nor the smaller blocks that a long line grows
  // out of go back with the password in them. Lengths around the first block of the line (512
  // bytes).
  const std::size_t lengths[] = {12, 511, 512, 513, 1200, 5000};
  for (const std::size_t length : lengths) {
    SCOPED_TRACE(length);
    std::string expected;
    for (std::size_t i = 0; i < length; ++i) {
      expected += static_cast<char>('a' + (i * 7 + i / 26) % 26);
    }
    const std::string command = "printf '%s\\n' '" + expected + "'";
    const wipe_record record;
    password_result got;
    int hits = -1;
    {
      const freed_memory_watch watch(std::string_view(expected).substr(0, 12));
      got = password_eval(command.c_str());
      hits = watch.hits();
    }
    ASSERT_TRUE(got.password.has_value());
    EXPECT_EQ(expected, got.password);
    EXPECT_EQ(0, hits) << "a block went back holding the password";
    const bool read_room_wiped =
        std::any_of(record.regions.begin(), record.regions.end(), [&](const std::string& region) {
          return region.size() == BUFSIZ && region.find(expected.substr(0, 12)) == 0;
        });
    EXPECT_TRUE(read_room_wiped);
  }
}

TEST(PasswordEval, StandardInputIsNullStandardErrorAsAsked) {
  // Under inetd, fernd's standard input is the client's connection and its standard error may be
  // too. The command must read nothing of the client, and complain where it is told to.
  const temp_maildir dir;
  const std::string client = dir.path + "/client";
  write_file(client, "USER alice\r\nPASS secret\r\n");
  const std::string log = dir.path + "/log";
  const std::string password = dir.path + "/password";
  const char* command =
      "IFS= read -r line; printf '%s|' \"$line\"; readlink /proc/self/fd/0; echo complaint >&2";
  for (const bool to_log : {false, true}) {
    SCOPED_TRACE(to_log ? "into the log" : "fernd's own standard error");
    write_file(log, "");
    const child_outcome outcome = run_in_child([&] {
      const unique_fd input(::open(client.c_str(), O_RDONLY | O_CLOEXEC));
      const unique_fd log_file(::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
      if (input.fd < 0 || log_file.fd < 0 || ::dup2(input.fd, STDIN_FILENO) != STDIN_FILENO) {
        ::_exit(2);
      }
      const password_result got =
          password_eval(command, to_log ? log_file.fd : password_own_stderr);
      write_file(password, got.password.value_or("none: " + got.error.value_or("")));
      ::_exit(0);
    });
    ASSERT_TRUE(WIFEXITED(outcome.wait_status));
    ASSERT_EQ(0, WEXITSTATUS(outcome.wait_status)) << outcome.err;
    EXPECT_EQ("|/dev/null", read_file(password));
    EXPECT_EQ(to_log ? "" : "complaint\n", outcome.err);
    EXPECT_EQ(to_log ? "complaint\n" : "", read_file(log));
  }
}

TEST(PasswordEval, ExhaustedMemoryEndsTheProcess) {
#ifdef FERND_TEST_ASAN
  // AddressSanitizer reserves terabytes of shadow memory up front, so an address-space limit
  // stops it rather than the growing buffer; the release build covers this.
  GTEST_SKIP() << "RLIMIT_AS cannot be used under AddressSanitizer";
#else
  constexpr rlim_t small_address_space = 256u << 20;
  const child_outcome outcome = run_in_child([] {
    const rlimit limit{small_address_space, small_address_space};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      ::_exit(2);
    }
    // A first line far longer than the address space allows.
    (void)password_eval("head -c 1000000000 /dev/zero | tr '\\0' x");
  });
  ASSERT_TRUE(WIFEXITED(outcome.wait_status));
  EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ(std::string(std::strerror(ENOMEM)) + "\n", outcome.err);
#endif
}

// ---- password_get on a pseudo-terminal ----

using deadline_clock = std::chrono::steady_clock;
constexpr auto pty_deadline = std::chrono::seconds(10);

struct pty_outcome {
  std::string terminal;  ///< what the child wrote to its terminal before the answer was typed
  std::optional<std::string> password;
  bool reported = false;  ///< the child reported a result at all
  int wait_status = -1;
};

// Runs \a call in a child whose controlling terminal (and standard streams) is a new
// pseudo-terminal. Waits until the terminal shows \a prompt, types \a answer, and collects the
// child's result.
pty_outcome run_on_pty(const std::function<std::optional<std::string>()>& call,
                       const std::string& prompt, std::string_view answer) {
  pty_outcome outcome;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return outcome;
  }
  unique_fd result_read(ends[0]);
  unique_fd result_write(ends[1]);
  unique_fd master;
  child_process child(fork_on_terminal(&master));
  if (child.pid < 0) {
    return outcome;
  }
  if (child.pid == 0) {
    try {
      const std::optional<std::string> password = call();
      const std::string report = password.has_value() ? "1" + *password : "0";
      (void)!::write(result_write.fd, report.data(), report.size());
    } catch (...) {
      ::_exit(child_threw_status);  // never into the test framework of this child
    }
    ::_exit(0);
  }
  result_write.reset();
  const auto deadline = deadline_clock::now() + pty_deadline;
  read_until(master.fd, &outcome.terminal, deadline,
             [&prompt](const std::string& seen) { return seen.size() >= prompt.size(); });
  if (outcome.terminal == prompt) {
    EXPECT_EQ(static_cast<ssize_t>(answer.size()),
              ::write(master.fd, answer.data(), answer.size()));
  }
  std::string report;
  read_until(result_read.fd, &report, deadline, [](const std::string&) { return false; });
  if (!report.empty()) {
    outcome.reported = true;
    if (report[0] == '1') {
      outcome.password = report.substr(1);
    }
  }
  // A child still running at the deadline is killed, and its wait status says so.
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - deadline_clock::now());
  bool timed_out = false;
  outcome.wait_status =
      child_wait(&child, std::max(left, std::chrono::milliseconds(0)), &timed_out);
  return outcome;
}

const std::string alice_prompt = "password for alice at localhost: ";

TEST(PasswordGet, PromptAnsweredOnTheTerminal) {
  struct prompt_case {
    int protocol;
    int require_tty;
    std::string answer;
    std::optional<std::string> expected;
  };
  const prompt_case cases[] = {
      {1, 0, "s3cret\n", "s3cret"},
      // protocol is never read
      {0, 0, "s3cret\n", "s3cret"},
      {-7, 0, "s3cret\n", "s3cret"},
      {12345, 1, "s3cret\n", "s3cret"},
      // with a terminal present, require_tty changes nothing
      {1, 1, " with blanks \n", " with blanks "},
      {1, 0, "\n", ""},
      // Input that ends at the prompt (Ctrl-D), before or after some characters, gives none.
      {1, 0, "\x04", std::nullopt},
      {1, 0, "abc\x04\x04", std::nullopt},
  };
  for (const prompt_case& c : cases) {
    SCOPED_TRACE("protocol " + std::to_string(c.protocol) + ", require_tty " +
                 std::to_string(c.require_tty) + ", answer '" + c.answer + "'");
    const pty_outcome outcome = run_on_pty(
        [&c] { return password_get("localhost", "alice", c.protocol, false, c.require_tty != 0); },
        alice_prompt, c.answer);
    EXPECT_EQ(alice_prompt, outcome.terminal);
    EXPECT_TRUE(outcome.reported);
    EXPECT_EQ(c.expected, outcome.password);
    EXPECT_TRUE(WIFEXITED(outcome.wait_status) && WEXITSTATUS(outcome.wait_status) == 0);
  }
}

TEST(PasswordGet, PromptNamesUserAndHost) {
  const std::string prompt = "password for bob@example.org at mail.example.org: ";
  const pty_outcome outcome = run_on_pty(
      [] { return password_get("mail.example.org", "bob@example.org", 1, false, false); }, prompt,
      "pw\n");
  EXPECT_EQ(prompt, outcome.terminal);
  EXPECT_EQ("pw", outcome.password);
}

TEST(PasswordGet, NetrcWithoutAnswerGoesOnToThePromptSilently) {
  if (::access("/etc/netrc", F_OK) == 0) {
    GTEST_SKIP() << "this system has an /etc/netrc, which the lookup would read";
  }
  const temp_maildir home;  // a fresh directory, used as the home directory
  // A .netrc that has the host, but not for this user.
  write_file(home.path + "/.netrc", "machine localhost login bob password not-alice\n");
  const pty_outcome outcome = run_on_pty(
      [&home] {
        ::setenv("HOME", home.path.c_str(), 1);
        return password_get("localhost", "alice", 1, true, true);
      },
      alice_prompt, "typed\n");
  // Nothing but the prompt reached the terminal before the answer.
  EXPECT_EQ(alice_prompt, outcome.terminal);
  EXPECT_EQ("typed", outcome.password);
}

// Runs password_get in a child that has no controlling terminal, with "typed\n" waiting on its
// standard input. The exit status tells the result: 0 none, 1 "typed", 4 anything else.
child_outcome get_without_terminal(int require_tty) {
  return run_in_child([require_tty] {
    if (::setsid() < 0) {
      ::_exit(2);
    }
    int ends[2];
    if (::pipe(ends) != 0 || ::write(ends[1], "typed\n", 6) != 6) {
      ::_exit(3);
    }
    ::close(ends[1]);
    ::dup2(ends[0], STDIN_FILENO);
    const std::optional<std::string> password =
        password_get("localhost", "alice", 1, false, require_tty != 0);
    ::_exit(!password.has_value() ? 0 : *password == "typed" ? 1 : 4);
  });
}

TEST(PasswordGet, RequireTtyWithoutTerminalGivesNoneWithoutPrompt) {
  const child_outcome outcome = get_without_terminal(1);
  ASSERT_TRUE(WIFEXITED(outcome.wait_status));
  EXPECT_EQ(0, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ("", outcome.err);
}

TEST(PasswordGet, WithoutTerminalStandardInputIsNeverRead) {
  // Under inetd standard input is the client: a line it holds must never become the password,
  // and no prompt goes anywhere else.
  const child_outcome outcome = get_without_terminal(0);
  ASSERT_TRUE(WIFEXITED(outcome.wait_status));
  EXPECT_EQ(0, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ("", outcome.err);
}

}  // namespace
}  // namespace fernd
