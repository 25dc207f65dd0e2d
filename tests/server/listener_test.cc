#include "server/listener.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/exit_status.h"
#include "common/posix_handle.h"
#include "pop3/pop3_session.h"
#include "server/listener_testing.h"
#include "support/call_failure.h"
#include "support/fd_reading.h"
#include "support/forked_child.h"
#include "support/process_watch.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

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

/// A configuration that listens on 127.0.0.1 \a port, logs nothing and serves \a accounts.
startup_config loopback_config(const account_list& accounts, int port) {
  startup_config config;
  config.port = port;
  config.accounts = accounts;
  return config;
}

TEST(ListenerRun, SocketThatCannotBeCreatedEndsWithThree) {
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  const child_outcome outcome = run_in_child([&] {
    const int lowest_free = ::dup(0);
    (void)::close(lowest_free);
    const rlimit descriptors{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
      ::_exit(11);
    }
    ::_exit(listener_run("prog/fernd", loopback_config(accounts, 0)));
  });
  ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
  EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ("prog/fernd: cannot create socket: Too many open files\n", outcome.err);
}

TEST(ListenerRun, AcceptFailureThatCannotHealEndsWithThree) {
  const int errors_that_end[] = {EBADF, EINVAL, ENOTSOCK, EFAULT};
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  for (const int error : errors_that_end) {
    SCOPED_TRACE(error);
    const child_outcome outcome = run_in_child([&] {
      const failing_accept failing(error, 1);
      ::_exit(listener_run("prog/fernd", loopback_config(accounts, 0)));
    });
    ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
    EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
    EXPECT_EQ("prog/fernd: cannot accept connection: " + std::string(std::strerror(error)) + "\n",
              outcome.err);
  }
}

/// A listener in a child process on a loopback port, with its standard error in a file.
struct listener_child {
  temp_maildir maildir;
  account_list accounts{{"alice", "secret", maildir.path}};
  std::string errors = maildir.path + "/stderr";
  std::uint16_t port = 0;
  pid_t pid = -1;

  /// Starts the listener on a port that was free a moment ago; the child runs \a body, or
  /// listener_run when there is none.
  void start(const std::function<int()>& body = {}) {
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
      ::_exit(body ? body() : run());
    }
  }

  int run() const { return listener_run("prog/fernd", loopback_config(accounts, port)); }

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
    const auto started = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(listener.start([&] {
      const failing_accept failing(error, 3);
      return listener.run();
    }));
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
    ASSERT_NO_FATAL_FAILURE(listener.start([&] {
      const failing_fork failing(error, 1);
      return listener.run();
    }));
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

}  // namespace
}  // namespace fernd
