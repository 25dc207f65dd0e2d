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
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/posix_handle.h"
#include "log/session_log.h"
#include "maildir/maildir.h"
#include "pop3/pop3_session.h"
#include "server/listener_testing.h"
#include "support/forked_child.h"
#include "support/process_watch.h"
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

/// Runs \a body in a child whose standard error goes to the file \a errors; returns the child's
/// wait status once it has ended.
int run_with_stderr(const std::string& errors, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::FILE* file = std::fopen(errors.c_str(), "w");
    if (file == nullptr || ::dup2(::fileno(file), 2) != 2) {
      ::_exit(10);
    }
    std::fclose(file);
    ::_exit(body());
  }
  int status = 0;
  EXPECT_EQ(pid, ::waitpid(pid, &status, 0));
  return status;
}

TEST(ListenerRun, SocketThatCannotBeCreatedEndsWithThree) {
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  const std::string errors = scratch.path + "/stderr";
  const int status = run_with_stderr(errors, [&] {
    const int lowest_free = ::dup(0);
    (void)::close(lowest_free);
    const rlimit descriptors{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
      return 11;
    }
    return listener_run("prog/fernd", "127.0.0.1", 0, 0, nullptr, accounts);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(listener_failure_status, WEXITSTATUS(status));
  EXPECT_EQ("prog/fernd: cannot create socket: Too many open files\n", read_file(errors));
}

// The failure that the next accept or fork of a listener child meets, and how many times.
int injected_error = 0;
int injected_failures = 0;

int accept_failing(int fd, sockaddr* address, socklen_t* length) {
  if (injected_failures > 0) {
    --injected_failures;
    errno = injected_error;
    return -1;
  }
  return ::accept(fd, address, length);
}

pid_t fork_failing() {
  if (injected_failures > 0) {
    --injected_failures;
    errno = injected_error;
    return -1;
  }
  return ::fork();
}

TEST(ListenerRun, AcceptFailureThatCannotHealEndsWithThree) {
  const int errors_that_end[] = {EBADF, EINVAL, ENOTSOCK, EFAULT};
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  const std::string errors = scratch.path + "/stderr";
  for (const int error : errors_that_end) {
    SCOPED_TRACE(error);
    injected_error = error;
    injected_failures = 1;
    listener_accept_call = accept_failing;
    const int status = run_with_stderr(
        errors, [&] { return listener_run("prog/fernd", "127.0.0.1", 0, 0, nullptr, accounts); });
    listener_accept_call = ::accept;
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(listener_failure_status, WEXITSTATUS(status));
    EXPECT_EQ("prog/fernd: cannot accept connection: " + std::string(std::strerror(error)) + "\n",
              read_file(errors));
  }
}

/// A listener in a child process on a loopback port, with its standard error in a file.
struct listener_child {
  temp_maildir maildir;
  account_list accounts{{"alice", "secret", maildir.path}};
  std::string errors = maildir.path + "/stderr";
  std::uint16_t port = 0;
  pid_t pid = -1;

  /// Starts the listener on a port that was free a moment ago.
  void start() {
    {
      const unique_fd probe{::socket(AF_INET, SOCK_STREAM, 0)};
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      ASSERT_EQ(0, ::bind(probe.fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
      ASSERT_EQ(0, ::getsockname(probe.fd, reinterpret_cast<sockaddr*>(&address), &length));
      port = ntohs(address.sin_port);
    }
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::FILE* file = std::fopen(errors.c_str(), "w");
      if (file == nullptr || ::dup2(::fileno(file), 2) != 2) {
        ::_exit(10);
      }
      std::fclose(file);
      ::_exit(listener_run("prog/fernd", "127.0.0.1", port, 0, nullptr, accounts));
    }
  }

  /// A client connected to the listener, once it listens.
  unique_fd connect() const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    unique_fd client;
    const bool connected = wait_until([&] {
      client.reset(::socket(AF_INET, SOCK_STREAM, 0));
      return ::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    });
    EXPECT_TRUE(connected) << read_file(errors);
    return client;
  }

  /// The lines the listener wrote to standard error.
  std::vector<std::string> error_lines() const {
    std::vector<std::string> lines;
    std::istringstream text(read_file(errors));
    for (std::string line; std::getline(text, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  ~listener_child() {
    if (pid > 0) {
      (void)::kill(pid, SIGKILL);
      (void)::waitpid(pid, nullptr, 0);
    }
  }
};

TEST(ListenerRun, PassingAcceptFailuresAreRetried) {
  // A connection that went, the network errors that Linux passes on through accept, a firewall
  // rule, exhausted resources: each passes, and the listener serves the next client.
  const int passing_errors[] = {ECONNABORTED, EINTR,     EPERM,  ENETDOWN,     EPROTO,
                                ENOPROTOOPT,  EHOSTDOWN, ENONET, EHOSTUNREACH, EOPNOTSUPP,
                                ENETUNREACH,  EMFILE,    ENFILE, ENOBUFS,      ENOMEM};
  for (const int error : passing_errors) {
    SCOPED_TRACE(std::strerror(error));
    listener_child listener;
    injected_error = error;
    injected_failures = 3;
    listener_accept_call = accept_failing;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(listener.start());
    listener_accept_call = ::accept;
    const unique_fd client = listener.connect();
    EXPECT_EQ("+OK fernd ready.\r\n", read_exactly(client.fd, 18, process_watch_limit));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_NE('?', process_state(listener.pid)) << "the listener ended";
    // One line for the three failures, or one more for each second that they took.
    const std::vector<std::string> lines = listener.error_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(),
              1 + static_cast<std::size_t>(
                      std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
    for (const std::string& line : lines) {
      EXPECT_EQ("prog/fernd: cannot accept connection: " + std::string(std::strerror(error)), line);
    }
  }
}

TEST(ListenerRun, FailedForkClosesTheConnectionAndGoesOn) {
  const int fork_errors[] = {EAGAIN, ENOMEM};
  for (const int error : fork_errors) {
    SCOPED_TRACE(std::strerror(error));
    listener_child listener;
    injected_error = error;
    injected_failures = 1;
    listener_fork_call = fork_failing;
    ASSERT_NO_FATAL_FAILURE(listener.start());
    listener_fork_call = ::fork;
    const unique_fd refused = listener.connect();
    EXPECT_EQ("", read_to_end(refused.fd, process_watch_limit));  // no greeting
    const unique_fd served = listener.connect();
    EXPECT_EQ("+OK fernd ready.\r\n", read_exactly(served.fd, 18, process_watch_limit));
    EXPECT_EQ(
        std::vector<std::string>{"prog/fernd: fork failed: " + std::string(std::strerror(error))},
        listener.error_lines());
  }
}

TEST(ListenerWaitForSlot, ASessionThatEndsJustBeforeTheWaitEndsIt) {
  // The session ends after the count was tested and before the wait began: its SIGCHLD is
  // pending when the wait starts. With a step far beyond the test's bound, only that signal can
  // end the wait.
  const child_outcome outcome = run_in_child([] {
    struct sigaction reap {};
    reap.sa_sigaction = listener_reap;
    reap.sa_flags = SA_RESTART | SA_NOCLDSTOP | SA_SIGINFO;
    (void)::sigemptyset(&reap.sa_mask);
    (void)::sigaction(SIGCHLD, &reap, nullptr);
    sigset_t child_signal;
    (void)::sigemptyset(&child_signal);
    (void)::sigaddset(&child_signal, SIGCHLD);
    (void)::sigprocmask(SIG_BLOCK, &child_signal, nullptr);
    active_sessions = listener_session_limit;
    const pid_t session = ::fork();
    if (session == 0) {
      ::_exit(0);
    }
    siginfo_t info{};
    (void)::waitid(P_PID, static_cast<id_t>(session), &info, WEXITED | WNOWAIT);
    listener_wait_for_slot(std::chrono::hours(1));
    std::fprintf(stderr, "%d", static_cast<int>(active_sessions));
    ::_exit(0);
  });
  ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << "the wait did not end";
  EXPECT_EQ(std::to_string(listener_session_limit - 1), outcome.err);
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

TEST_F(SessionProcessServeTest, VanishedClientEndsThroughOutputError) {
  maildir.add("m1", "text\n", 1'000'000);
  maildir.add("m2", "more\n", 1'000'001);
  tcp_pair pair;
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
  // This process's view of the session's socket, to see when the reset has reached it.
  const unique_fd observer{::dup(pair.server.fd)};
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "USER alice\r\nPASS secret\r\nDELE 2\r\n"));
  // An idle limit that cannot end the session within the test's bound.
  ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, session_end_limit * 3));
  const std::string replies = "+OK fernd ready.\r\n+OK\r\n+OK\r\n+OK\r\n";
  ASSERT_EQ(replies, read_exactly(pair.client.fd, replies.size(), session_end_limit));

  // The session is stopped while the client sends RETR and vanishes, with the reset that a
  // crashed peer's kernel sends. Continued, it reads the command, and the reply's first write
  // reports the reset; every later one would raise SIGPIPE.
  ASSERT_TRUE(wait_until([&] { return process_in_system_call(session, SYS_read); }));
  ASSERT_EQ(0, ::kill(session, SIGSTOP));
  ASSERT_TRUE(wait_until([&] { return process_state(session) == 'T'; }));
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "RETR 1\r\n"));
  const linger reset{1, 0};
  ASSERT_EQ(0, ::setsockopt(pair.client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  pair.client.reset();
  pollfd gone{observer.fd, 0, 0};  // POLLHUP and POLLERR are always reported
  ASSERT_EQ(1, ::poll(&gone, 1, static_cast<int>(session_end_limit.count())));
  ASSERT_EQ(0, ::kill(session, SIGCONT));

  EXPECT_EQ(session_status_error, finish());  // an exit, not death by SIGPIPE
  const std::vector<std::string> log = log_messages(log_path);
  ASSERT_LE(3u, log.size());
  EXPECT_EQ((std::vector<std::string>{"info: starting transaction phase with 2 mails in mailbox",
                                      "error: cannot send mail file " + maildir.new_path("m1"),
                                      "error: output error, session aborted"}),
            std::vector<std::string>(log.end() - 3, log.end()));
  EXPECT_TRUE(maildir.has("m1"));
  EXPECT_TRUE(maildir.has("m2"));
}

TEST_F(SessionProcessServeTest, StoppedAndContinuedSessionGoesOn) {
  // Job control, a debugger or a tracer stops and continues a session. On a socket with idle
  // limits that breaks off the read or write it waits in; the session must not take that for a
  // lost client, neither while it waits for a command nor in the middle of a large RETR to a
  // client that reads slowly.
  const std::string message = large_message();
  std::string wire;
  for (std::size_t at = 0; at < message.size(); at += 100) {
    wire += message.substr(at, 99) + "\r\n";
  }
  maildir.add("big", message, 1'000'000);
  tcp_pair pair;
  // A window small enough that the session soon waits in a write while the client reads nothing.
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair, 64 << 10));
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "USER alice\r\nPASS secret\r\n"));
  ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, session_end_limit * 3));
  const std::string login = "+OK fernd ready.\r\n+OK\r\n+OK\r\n";
  ASSERT_EQ(login, read_exactly(pair.client.fd, login.size(), session_end_limit));

  // Idle, waiting for a command.
  ASSERT_TRUE(wait_until([&] { return process_in_system_call(session, SYS_read); }));
  ASSERT_NO_FATAL_FAILURE(stop_and_continue(session));
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "STAT\r\n"));
  const std::string stat = "+OK 1 " + std::to_string(message.size()) + "\r\n";
  ASSERT_EQ(stat, read_exactly(pair.client.fd, stat.size(), session_end_limit));

  // Sending, to a client that has stopped reading: stopped and continued twice on the way.
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "RETR 1\r\n"));
  std::string received = read_exactly(pair.client.fd, 5 + 100'000, session_end_limit);
  for (int pause = 0; pause < 2; ++pause) {
    ASSERT_TRUE(wait_until([&] { return process_in_system_call(session, SYS_write); }));
    ASSERT_NO_FATAL_FAILURE(stop_and_continue(session));
    received += read_exactly(pair.client.fd, 1'000'000, session_end_limit);
  }
  const std::string rest = "+OK\r\n" + wire + ".\r\n";
  // The bound covers a slow sanitizer build on a busy machine: only a hang reaches it.
  received += read_exactly(pair.client.fd, rest.size() - received.size(), session_end_limit * 3);
  EXPECT_TRUE(received == rest) << received.size() << " of " << rest.size() << " bytes";

  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "QUIT\r\n"));
  const std::string end = read_to_end(pair.client.fd, session_end_limit);
  EXPECT_TRUE(end == "+OK\r\n") << end.size() << " bytes after the message";
  EXPECT_EQ(session_status_ok, finish());
  EXPECT_FALSE(log_has(log_messages(log_path), "error: input error, session aborted"));
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
