#include "server/listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/posix_handle.h"
#include "log/session_log.h"
#include "maildir/maildir.h"
#include "pop3/pop3_session.h"
#include "support/tcp_pair.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

using std::chrono::milliseconds;

std::int64_t monotonic_seconds() {
  timespec now{};
  EXPECT_EQ(0, ::clock_gettime(CLOCK_MONOTONIC, &now));
  return now.tv_sec;
}

TEST(ListenerAuthDelay, OnForSixtyOneSecondsAfterAFailure) {
  struct delay_case {
    int failure_seen;
    std::int64_t last_failure;
    std::int64_t now;
    bool delay;
  };
  constexpr std::int64_t t = 86'400;
  const delay_case cases[] = {
      {0, 0, 0, false},  // no failure since the start: the start value 0 is no failure time
      {0, t, t, false},
      {1, t, t, true},
      {1, t, t + 1, true},
      {1, t, t + 60, true},
      {1, t, t + 61, false},
      {1, t, t + 3600, false},
      {1, 0, 60, true},  // a failure reaped in the
                         // clock's first second
      {1, 0, 61, false},
  };
  for (const delay_case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.failure_seen << " " << c.last_failure << " " << c.now);
    EXPECT_EQ(c.delay, listener_auth_delay(c.failure_seen, c.last_failure, c.now));
  }
}

/// How a child of the reaping tests ends: an exit status, or killed by SIGKILL when negative.
constexpr int killed_by_signal = -1;

/// Forks a child that ends as \a ending says, and waits until it has ended, without reaping it.
pid_t ended_child(int ending) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (ending == killed_by_signal) {
      (void)::raise(SIGKILL);
    }
    ::_exit(ending);
  }
  siginfo_t info{};
  EXPECT_EQ(0, ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT));
  return pid;
}

void listener_state_reset(int sessions) {
  active_sessions = sessions;
  auth_failure_seen = 0;
  last_auth_failure = 0;
}

TEST(ListenerReap, CountsDownAndMarksAuthorizationFailures) {
  struct reap_case {
    int ending;
    int failure;
  };
  const reap_case cases[] = {
      {0, 0}, {1, 0}, {2, 1}, {3, 1}, {255, 1}, {killed_by_signal, 0},
  };
  for (const reap_case& c : cases) {
    SCOPED_TRACE(c.ending);
    listener_state_reset(1);
    const std::int64_t before = monotonic_seconds();
    const pid_t pid = ended_child(c.ending);

    errno = EILSEQ;
    listener_reap(SIGCHLD, nullptr, nullptr);
    EXPECT_EQ(EILSEQ, errno);

    EXPECT_EQ(0, active_sessions);
    EXPECT_EQ(c.failure, auth_failure_seen);
    if (c.failure != 0) {
      EXPECT_LE(before, last_auth_failure);
      EXPECT_GE(monotonic_seconds(), last_auth_failure);
    } else {
      EXPECT_EQ(0, last_auth_failure);
    }
    EXPECT_EQ(-1, ::waitpid(pid, nullptr, WNOHANG)) << "not reaped";
  }
}

TEST(ListenerReap, ReapsAllEndedChildrenAndLeavesTheRunningOne) {
  int gate[2];
  ASSERT_EQ(0, ::pipe(gate));
  unique_fd gate_read{gate[0]};
  unique_fd gate_write{gate[1]};
  const pid_t running = ::fork();
  if (running == 0) {
    char byte = 0;
    (void)::close(gate[1]);
    ::_exit(::read(gate[0], &byte, 1) == 0 ? 2 : 0);  // ends when the gate closes
  }
  gate_read.reset();

  // One signal may stand for several ended children.
  listener_state_reset(5);
  const int endings[] = {0, 2, killed_by_signal, 1};
  for (const int ending : endings) {
    (void)ended_child(ending);
  }
  listener_reap(SIGCHLD, nullptr, nullptr);
  EXPECT_EQ(1, active_sessions);
  EXPECT_EQ(1, auth_failure_seen);

  // The last child then ends with an authorization failure of its own.
  auth_failure_seen = 0;
  gate_write.reset();
  siginfo_t info{};
  ASSERT_EQ(0, ::waitid(P_PID, static_cast<id_t>(running), &info, WEXITED | WNOWAIT));
  listener_reap(SIGCHLD, nullptr, nullptr);
  EXPECT_EQ(0, active_sessions);
  EXPECT_EQ(1, auth_failure_seen);

  // No child left: the handler returns and changes nothing.
  errno = ENOTTY;
  listener_reap(SIGCHLD, nullptr, nullptr);
  EXPECT_EQ(ENOTTY, errno);
  EXPECT_EQ(0, active_sessions);
}

TEST(ListenerRun, ReportsFailingSocketCallsAndReturnsThree) {
  struct failure_case {
    int descriptors;       ///< how many descriptors the listener may still open
    const char* expected;  ///< all that it writes to standard error
  };
  const failure_case cases[] = {
      {0, "prog/fernd: cannot create socket: Too many open files\n"},
      {1, "prog/fernd: cannot accept connection: Too many open files\n"},
  };
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.descriptors);
    const std::string errors = scratch.path + "/stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::FILE* file = std::fopen(errors.c_str(), "w");
      if (file == nullptr || ::dup2(::fileno(file), 2) != 2) {
        ::_exit(10);
      }
      std::fclose(file);
      const int lowest_free = ::dup(0);
      (void)::close(lowest_free);
      const rlim_t limit = static_cast<rlim_t>(lowest_free + c.descriptors);
      const rlimit descriptors{limit, limit};
      if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        ::_exit(11);
      }
      // Port 0: any free port, never a conflict with another test.
      ::_exit(listener_run("prog/fernd", "127.0.0.1", 0, 0, nullptr, accounts));
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(listener_failure_status, WEXITSTATUS(status));
    EXPECT_EQ(c.expected, read_file(errors));
  }
}

// session_process_serve over a real TCP connection on 127.0.0.1, in a child process as in the
// listener, with a short idle limit instead of ten minutes.

/// Sends all of \a bytes, in writes of \a piece bytes (0: one write).
void send_all(int fd, const std::string& bytes, std::size_t piece = 0) {
  const std::size_t step = piece == 0 ? bytes.size() : piece;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const std::size_t count = std::min(step, bytes.size() - at);
    ASSERT_EQ(static_cast<ssize_t>(count), ::send(fd, bytes.data() + at, count, MSG_NOSIGNAL));
  }
}

/// Reads until the peer closes the connection; fails the test when that takes longer than
/// \a limit.
std::string read_to_end(int fd, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string bytes;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "the connection stayed open";
      return bytes;
    }
    char buffer[4096];
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) {
      return bytes;
    }
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
}

/// Reads exactly \a count bytes, or fewer when the peer closes or \a limit passes first.
std::string read_exactly(int fd, std::size_t count, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string bytes;
  while (bytes.size() < count) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    std::string buffer(count - bytes.size(), '\0');
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) {
      break;
    }
    bytes.append(buffer, 0, static_cast<std::size_t>(got));
  }
  return bytes;
}

/// Waits for \a pid, at most \a limit (then kills it and fails the test); returns its wait status.
int child_wait(pid_t pid, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      (void)::kill(pid, SIGKILL);
      (void)::waitpid(pid, &status, 0);
      ADD_FAILURE() << "the session did not end";
      return -1;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
  return status;
}

/// The messages of a log file, each as "level: text".
std::vector<std::string> log_messages(const std::string& path) {
  std::vector<std::string> messages;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t start = line.find("] ");
    messages.push_back(start == std::string::npos ? line : line.substr(start + 2));
  }
  return messages;
}

bool log_has(const std::vector<std::string>& messages, const std::string& message) {
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

/// Long enough to end a session that waits for its client quickly, short enough never to
/// end one whose client is busy on a loaded machine.
constexpr milliseconds short_idle_limit(200);
/// The bound of every wait for a session to end: far above short_idle_limit.
constexpr milliseconds session_end_limit(20'000);

struct SessionProcessServeTest : testing::Test {
  temp_maildir maildir;
  std::string log_path = maildir.path + "/session.log";
  account_list accounts{{"alice", "secret", maildir.path}};
  pid_t session = -1;

  /// Serves \a connection in a child process, as a session process does; the child closes
  /// \a client, its copy of the client's end. With \a descriptors_exhausted the child can open
  /// no further descriptor once its log is open.
  void start(unique_fd* connection, const unique_fd& client, milliseconds idle_limit,
             bool descriptors_exhausted = false) {
    session = ::fork();
    if (session == 0) {
      (void)::close(client.fd);
      // As a session process finds it when the listener was started from a shell.
      (void)std::signal(SIGPIPE, SIG_DFL);
      session_log log;
      log_open(0, log_path.c_str(), &log);
      if (descriptors_exhausted) {
        // dup gives the lowest free descriptor; with the limit there, there is none left.
        const int lowest_free = ::dup(0);
        (void)::close(lowest_free);
        const rlimit limit{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
      }
      const int status =
          session_process_serve(&log, connection->release(), accounts, 0, idle_limit);
      log_close(&log);
      ::_exit(status);
    }
    ASSERT_GT(session, 0);
    connection->reset();
  }

  /// The session's exit status; fails the test when it ended otherwise.
  int finish() {
    const int status = child_wait(session, session_end_limit);
    session = -1;
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void TearDown() override {
    if (session > 0) {
      (void)::kill(session, SIGKILL);
      (void)::waitpid(session, nullptr, 0);
    }
  }
};

TEST_F(SessionProcessServeTest, AnswersPipelinedCommandsInOrder) {
  const std::string script =
      "USER alice\r\nPASS secret\r\nSTAT\r\nLIST\r\nUIDL\r\nRETR 2\r\nDELE 1\r\nNOOP\r\nQUIT\r\n";
  const std::string expected =
      "+OK fernd ready.\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK 2 34\r\n"
      "+OK\r\n1 11\r\n2 23\r\n.\r\n"
      "+OK\r\n1 m1\r\n2 m2\r\n.\r\n"
      "+OK\r\nSubject: two\r\n\r\n..dot\r\nend\r\n.\r\n"
      "+OK\r\n"
      "+OK\r\n"
      "+OK\r\n";
  // All commands in one write, as a pipelining client sends them, and one byte per write.
  const std::size_t pieces[] = {0, 1};
  for (const std::size_t piece : pieces) {
    SCOPED_TRACE(piece);
    maildir.add("m1", "first\nline\n", 1'000'000);
    maildir.add("m2", "Subject: two\n\n.dot\nend\n", 1'000'001);
    tcp_pair pair;
    ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
    ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, short_idle_limit * 50));
    ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, script, piece));
    EXPECT_EQ(expected, read_to_end(pair.client.fd, session_end_limit));
    EXPECT_EQ(session_status_ok, finish());
    EXPECT_FALSE(maildir.has("m1"));
    EXPECT_TRUE(maildir.has("m2"));
  }
}

TEST_F(SessionProcessServeTest, SilentClientEndsThroughInputError) {
  struct silence_case {
    const char* client;  ///< what the client sends before it falls silent
    const char* server;  ///< every byte the client receives until the session closes
  };
  const silence_case cases[] = {
      {"", "+OK fernd ready.\r\n"},
      {"USER alice\r\n", "+OK fernd ready.\r\n+OK\r\n"},
      {"USER alice\r\nPASS secret\r\nDELE 1\r\n", "+OK fernd ready.\r\n+OK\r\n+OK\r\n+OK\r\n"},
  };
  maildir.add("m1", "text\n");
  for (const silence_case& c : cases) {
    SCOPED_TRACE(c.client);
    std::filesystem::remove(log_path);
    tcp_pair pair;
    ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
    // Sent before the session starts, so that no delay of this process counts as idle time.
    ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, c.client));
    ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, short_idle_limit));
    // The client keeps its end open: only the idle limit can end the session.
    EXPECT_EQ(c.server, read_to_end(pair.client.fd, session_end_limit));
    EXPECT_EQ(session_status_error, finish());
    const std::vector<std::string> log = log_messages(log_path);
    EXPECT_TRUE(log_has(log, "error: input error, session aborted"));
    EXPECT_FALSE(log_has(log, "error: output error, session aborted"));
    EXPECT_TRUE(maildir.has("m1"));
  }
}

/// A message larger than anything the kernel buffers for one connection.
std::string large_message() {
  std::size_t send_buffer_max = 4 << 20;
  std::ifstream limits("/proc/sys/net/ipv4/tcp_wmem");
  std::size_t low = 0;
  std::size_t initial = 0;
  if (limits >> low >> initial >> send_buffer_max) {
    send_buffer_max = std::max<std::size_t>(send_buffer_max, 1 << 20);
  }
  const std::string line(99, 'x');
  std::string message;
  message.reserve(send_buffer_max + (2 << 20));
  while (message.size() < send_buffer_max + (2 << 20)) {
    message += line;
    message += '\n';
  }
  return message;
}

TEST_F(SessionProcessServeTest, ClientThatStopsReadingEndsThroughOutputError) {
  maildir.add("big", large_message(), 1'000'000);
  maildir.add("small", "text\n", 1'000'001);
  tcp_pair pair;
  // A small receive window, so that the server's send buffer fills soon.
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair, 4096));
  ASSERT_NO_FATAL_FAILURE(
      send_all(pair.client.fd, "USER alice\r\nPASS secret\r\nDELE 2\r\nRETR 1\r\nQUIT\r\n"));
  ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, short_idle_limit));
  // The client reads nothing until the session has ended.
  EXPECT_EQ(session_status_error, finish());

  const std::vector<std::string> log = log_messages(log_path);
  EXPECT_TRUE(log_has(log, "error: cannot send mail file " + maildir.new_path("big")));
  EXPECT_TRUE(log_has(log, "error: output error, session aborted"));
  EXPECT_FALSE(log_has(log, "info: client ended transaction phase"));
  EXPECT_TRUE(maildir.has("big"));
  EXPECT_TRUE(maildir.has("small"));
}

/// Whether process \a pid is blocked in the system call \a number (from /proc/<pid>/syscall).
bool in_system_call(pid_t pid, long number) {
  std::ifstream current("/proc/" + std::to_string(pid) + "/syscall");
  long running = -1;
  return static_cast<bool>(current >> running) && running == number;
}

TEST_F(SessionProcessServeTest, VanishedClientEndsThroughOutputError) {
  maildir.add("big", large_message(), 1'000'000);
  maildir.add("m2", "more\n", 1'000'001);
  tcp_pair pair;
  // A small receive window, so that the transmission soon waits for the client.
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair, 4096));
  // This process's view of the session's socket, to see when the reset has reached it.
  const unique_fd observer{::dup(pair.server.fd)};
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "USER alice\r\nPASS secret\r\nDELE 2\r\n"));
  // An idle limit that cannot end the session within the test's bound.
  ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, session_end_limit * 3));
  const std::string replies = "+OK fernd ready.\r\n+OK\r\n+OK\r\n+OK\r\n";
  ASSERT_EQ(replies, read_exactly(pair.client.fd, replies.size(), session_end_limit));
  // The client reads no more: the session fills every buffer of the connection and then waits in
  // a write of the message.
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "RETR 1\r\n"));
  const auto deadline = std::chrono::steady_clock::now() + session_end_limit;
  while (!in_system_call(session, SYS_write)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "RETR never waited for the client";
    std::this_thread::sleep_for(milliseconds(1));
  }
  // Meanwhile the client vanishes, with the reset that a crashed peer's kernel sends. The waiting
  // write reports the reset; every later one would raise SIGPIPE.
  const linger reset{1, 0};
  ASSERT_EQ(0, ::setsockopt(pair.client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  pair.client.reset();
  pollfd gone{observer.fd, 0, 0};  // POLLHUP and POLLERR are always reported
  ASSERT_EQ(1, ::poll(&gone, 1, static_cast<int>(session_end_limit.count())));

  EXPECT_EQ(session_status_error, finish());  // an exit, not death by SIGPIPE
  const std::vector<std::string> log = log_messages(log_path);
  ASSERT_LE(3u, log.size());
  EXPECT_EQ((std::vector<std::string>{"info: starting transaction phase with 2 mails in mailbox",
                                      "error: cannot send mail file " + maildir.new_path("big"),
                                      "error: output error, session aborted"}),
            std::vector<std::string>(log.end() - 3, log.end()));
  EXPECT_TRUE(maildir.has("big"));
  EXPECT_TRUE(maildir.has("m2"));
}

TEST_F(SessionProcessServeTest, NoSessionWithoutStreams) {
  tcp_pair pair;
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
  ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, short_idle_limit, true));
  EXPECT_EQ("", read_to_end(pair.client.fd, session_end_limit));  // closed, without a greeting
  EXPECT_EQ(session_status_error, finish());
  const std::vector<std::string> log = log_messages(log_path);
  EXPECT_TRUE(log_has(log, "error: cannot set up the connection's streams, session aborted"));
  EXPECT_FALSE(log_has(log, "info: starting POP3 session"));
}

}  // namespace
}  // namespace fernd
