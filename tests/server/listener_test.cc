#include "server/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/exit_status.h"
#include "common/posix_handle.h"
#include "server/listener_loop.h"
#include "support/call_failure.h"
#include "support/child_process.h"
#include "support/fd_reading.h"
#include "support/process_watch.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

const std::string greeting = "+OK fernd ready.\r\n";

std::int64_t monotonic_seconds() {
  timespec now{};
  EXPECT_EQ(0, ::clock_gettime(CLOCK_MONOTONIC, &now));
  return now.tv_sec;
}

TEST(ListenerAuthDelay, OnForSixtyOneSecondsAfterAFailure) {
  struct delay_case {
    std::optional<std::int64_t> last_failure;
    std::int64_t now;
    bool delay;
  };
  constexpr std::int64_t t = 86'400;
  const delay_case cases[] = {
      {std::nullopt, 0, false},  // no failure since the start: no time to measure from
      {std::nullopt, t, false},  // nor later
      {t, t, true},              // reaped in this very second
      {t, t + 1, true},          // a second later
      {t, t + 60, true},         // the window's last second
      {t, t + 61, false},        // past the window
      {t, t + 3600, false},      // long past it
      {0, 60, true},             // a failure reaped in the clock's first second
      {0, 61, false},            // and its window's end
  };
  for (const delay_case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.last_failure.value_or(-1) << " " << c.now);
    EXPECT_EQ(c.delay, listener_auth_delay(c.last_failure, c.now));
  }
}

/// How a child of the reaping tests ends: an exit status, or killed by SIGKILL when negative.
constexpr int killed_by_signal = -1;

/// Forks a child that ends as \a ending says, and waits until it has ended, without reaping it.
child_process ended_child(int ending) {
  child_process child = child_start([ending] {
    if (ending == killed_by_signal) {
      (void)::raise(SIGKILL);
    }
    return ending;
  });
  siginfo_t info{};
  EXPECT_EQ(0, ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT));
  return child;
}

TEST(ListenerReap, CountsDownAndMarksAuthorizationFailures) {
  struct reap_case {
    int ending;
    bool failure;
  };
  const reap_case cases[] = {
      {0, false}, {1, false}, {2, true}, {3, true}, {255, true}, {killed_by_signal, false},
  };
  for (const reap_case& c : cases) {
    SCOPED_TRACE(c.ending);
    listener_sessions sessions;
    sessions.active = 1;
    const std::int64_t before = monotonic_seconds();
    child_process child = ended_child(c.ending);

    listener_reap(&sessions);

    EXPECT_EQ(0, sessions.active);
    ASSERT_EQ(c.failure, sessions.last_auth_failure.has_value());
    if (c.failure) {
      EXPECT_LE(before, *sessions.last_auth_failure);
      EXPECT_GE(monotonic_seconds(), *sessions.last_auth_failure);
    }
    EXPECT_TRUE(child_reaped_elsewhere(&child)) << "not reaped";
  }
}

TEST(ListenerReap, ReapsAllEndedChildrenAndLeavesTheRunningOne) {
  int gate[2];
  ASSERT_EQ(0, ::pipe(gate));
  unique_fd gate_read{gate[0]};
  unique_fd gate_write{gate[1]};
  child_process running = child_start([&gate] {
    char byte = 0;
    (void)::close(gate[1]);
    return ::read(gate[0], &byte, 1) == 0 ? 2 : 0;  // ends when the gate closes
  });
  gate_read.reset();

  // One wake-up may stand for several ended children.
  listener_sessions sessions;
  sessions.active = 5;
  const int endings[] = {0, 2, killed_by_signal, 1};
  std::vector<child_process> ended;
  for (const int ending : endings) {
    ended.push_back(ended_child(ending));
  }
  listener_reap(&sessions);
  EXPECT_EQ(1, sessions.active);
  EXPECT_TRUE(sessions.last_auth_failure.has_value());
  for (child_process& each : ended) {
    EXPECT_TRUE(child_reaped_elsewhere(&each)) << "not reaped";
  }
  EXPECT_FALSE(child_reaped_elsewhere(&running)) << "reaped while it ran";

  // The last child then ends with an authorization failure of its own.
  sessions.last_auth_failure.reset();
  gate_write.reset();
  siginfo_t info{};
  ASSERT_EQ(0, ::waitid(P_PID, static_cast<id_t>(running.pid), &info, WEXITED | WNOWAIT));
  listener_reap(&sessions);
  EXPECT_EQ(0, sessions.active);
  EXPECT_TRUE(sessions.last_auth_failure.has_value());
  EXPECT_TRUE(child_reaped_elsewhere(&running)) << "not reaped";

  // No child left: reaping returns and changes nothing.
  sessions.last_auth_failure.reset();
  listener_reap(&sessions);
  EXPECT_EQ(0, sessions.active);
  EXPECT_FALSE(sessions.last_auth_failure.has_value());
}

/// A configuration that listens on 127.0.0.1 \a port, logs nothing and serves \a accounts.
startup_config loopback_config(const account_list& accounts, int port) {
  startup_config config;
  config.port = port;
  config.accounts = accounts;
  return config;
}

/// The port a socket is bound to, or 0.
int bound_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

TEST(ListenerBind, ListensOnTheConfiguredAddressOrSaysWhyNot) {
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  const unique_fd listening = listener_bind("prog/fernd", loopback_config(accounts, 0));
  ASSERT_GE(listening.fd, 0);
  int listens = 0;
  socklen_t size = sizeof listens;
  ASSERT_EQ(0, ::getsockopt(listening.fd, SOL_SOCKET, SO_ACCEPTCONN, &listens, &size));
  EXPECT_EQ(1, listens);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(0, ::getsockname(listening.fd, reinterpret_cast<sockaddr*>(&address), &length));
  EXPECT_EQ(AF_INET, address.sin_family);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), address.sin_addr.s_addr);

  // The port that this socket holds cannot be bound a second time.
  const int port = bound_port(listening.fd);
  const struct {
    const char* interface;
    std::string err;
  } failures[] = {
      {"localhost", "prog/fernd: invalid interface\n"},
      {"127.0.0.1", "prog/fernd: cannot bind to 127.0.0.1:" + std::to_string(port) + ": " +
                        std::strerror(EADDRINUSE) + "\n"},
  };
  for (const auto& each : failures) {
    SCOPED_TRACE(each.interface);
    const child_outcome outcome = run_in_child([&] {
      startup_config config = loopback_config(accounts, port);
      config.interface = each.interface;
      ::_exit(listener_bind("prog/fernd", config).fd < 0 ? 0 : 1);
    });
    ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
    EXPECT_EQ(0, WEXITSTATUS(outcome.wait_status)) << "a socket came back";
    EXPECT_EQ(each.err, outcome.err);
  }
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
    startup_config config = loopback_config(accounts, 0);
    ::_exit(listener_run("prog/fernd", config));
  });
  ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
  EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ("prog/fernd: cannot create socket: Too many open files\n", outcome.err);
}

std::string cannot_accept(int error) {
  return "prog/fernd: cannot accept connection: " + std::string(std::strerror(error));
}

TEST(ListenerServe, AcceptFailureThatCannotHealEndsWithThree) {
  const temp_maildir scratch;
  const account_list accounts{{"alice", "secret", scratch.path}};
  startup_config config = loopback_config(accounts, 0);
  // Descriptors that are no listening socket, each met for real. The closed one lies far above
  // the descriptors that the listener opens for itself, which could otherwise take its number.
  const struct {
    int error;
    std::function<int()> descriptor;
  } unusable[] = {
      {EBADF,
       [] {
         const int closed = ::fcntl(STDERR_FILENO, F_DUPFD, 512);
         (void)::close(closed);
         return closed;
       }},
      {ENOTSOCK,
       [] {
         int ends[2] = {-1, -1};
         (void)::pipe(ends);
         return ends[0];
       }},
      {EINVAL, [] { return ::socket(AF_INET, SOCK_STREAM, 0); }},  // not listening
  };
  for (const auto& each : unusable) {
    SCOPED_TRACE(std::strerror(each.error));
    const child_outcome outcome = run_in_child([&] {
      const int fd = each.descriptor();
      if (fd < 0) {
        ::_exit(11);
      }
      ::_exit(listener_serve("prog/fernd", fd, config));
    });
    ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
    EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
    EXPECT_EQ(cannot_accept(each.error) + "\n", outcome.err);
  }

  // A listening socket on which accept reports a bad address: only a failure put in its place
  // produces that.
  const child_outcome outcome = run_in_child([&] {
    const unique_fd listening = listener_bind("prog/fernd", config);
    const failing_accept failing(EFAULT, 1);
    ::_exit(listener_serve("prog/fernd", listening.fd, config));
  });
  ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
  EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ(cannot_accept(EFAULT) + "\n", outcome.err);
}

/// A listener in a child process on a loopback port, with its standard error in a file.
struct listener_child {
  temp_maildir maildir;
  account_list accounts{{"alice", "secret", maildir.path}};
  std::string errors = maildir.path + "/stderr";
  int port = 0;
  child_process child;

  /// The child's work when a test gives none: listener_serve on \a listening_fd.
  int serve(int listening_fd) const {
    startup_config config = loopback_config(accounts, port);
    return listener_serve("prog/fernd", listening_fd, config);
  }

  /// Binds a free loopback port here and lets a child serve it: \a body, which is given the
  /// listening descriptor, or serve. The child alone keeps the socket.
  void start(const std::function<int(int)>& body = {}) {
    unique_fd listening = listener_bind("prog/fernd", loopback_config(accounts, 0));
    ASSERT_GE(listening.fd, 0);
    port = bound_port(listening.fd);
    child = child_start([&] {
      std::FILE* file = std::fopen(errors.c_str(), "w");
      if (file == nullptr || ::dup2(::fileno(file), 2) != 2) {
        return 10;
      }
      std::fclose(file);
      return body ? body(listening.fd) : serve(listening.fd);
    });
    ASSERT_GT(child.pid, 0);
  }

  /// A client connected to the listener.
  unique_fd connect() const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    unique_fd client;
    const bool connected = wait_until([&] {
      client.reset(::socket(AF_INET, SOCK_STREAM, 0));
      return ::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    });
    EXPECT_TRUE(connected) << read_file(errors);
    return client;
  }

  /// The lines the listener wrote to standard error; none before it has opened the file.
  std::vector<std::string> error_lines() const {
    std::vector<std::string> lines;
    std::ifstream text(errors);
    for (std::string line; std::getline(text, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  /// The listener's children that have not been reaped, ended ones included.
  std::vector<pid_t> children() const {
    const std::string task =
        "/proc/" + std::to_string(child.pid) + "/task/" + std::to_string(child.pid);
    std::ifstream listing(task + "/children");
    std::vector<pid_t> found;
    for (pid_t child = 0; listing >> child;) {
      found.push_back(child);
    }
    return found;
  }
};

TEST(ListenerServe, PassingAcceptFailuresAreRetried) {
  // A connection that went, the network errors that Linux passes on through accept, a firewall
  // rule, exhausted resources: each passes, and the listener serves the next client.
  const int passing_errors[] = {ECONNABORTED, EINTR,     EPERM,  ENETDOWN,     EPROTO,
                                ENOPROTOOPT,  EHOSTDOWN, ENONET, EHOSTUNREACH, EOPNOTSUPP,
                                ENETUNREACH,  EMFILE,    ENFILE, ENOBUFS,      ENOMEM};
  for (const int error : passing_errors) {
    SCOPED_TRACE(std::strerror(error));
    listener_child listener;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(listener.start([&](int listening_fd) {
      const failing_accept failing(error, 3);
      return listener.serve(listening_fd);
    }));
    const unique_fd client = listener.connect();
    EXPECT_EQ(greeting, read_exactly(client.fd, greeting.size(), process_watch_limit));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_NE('?', process_state(listener.child.pid)) << "the listener ended";
    // One line for the three failures, or one more for each second that they took.
    const std::vector<std::string> lines = listener.error_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(),
              1 + static_cast<std::size_t>(
                      std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
    for (const std::string& line : lines) {
      EXPECT_EQ(cannot_accept(error), line);
    }
  }
}

TEST(ListenerServe, FailedForkClosesTheConnectionAndGoesOn) {
  const int fork_errors[] = {EAGAIN, ENOMEM};
  for (const int error : fork_errors) {
    SCOPED_TRACE(std::strerror(error));
    listener_child listener;
    ASSERT_NO_FATAL_FAILURE(listener.start([&](int listening_fd) {
      const failing_fork failing(error, 1);
      return listener.serve(listening_fd);
    }));
    const unique_fd refused = listener.connect();
    EXPECT_EQ("", read_to_end(refused.fd, process_watch_limit));  // no greeting
    const unique_fd served = listener.connect();
    EXPECT_EQ(greeting, read_exactly(served.fd, greeting.size(), process_watch_limit));
    EXPECT_EQ(
        std::vector<std::string>{"prog/fernd: fork failed: " + std::string(std::strerror(error))},
        listener.error_lines());
  }
}

TEST(ListenerServe, ASessionThatEndsBeforeTheLoopWaitsFreesItsSlot) {
  // The sixteenth session ends before the loop has even counted it: its SIGCHLD comes while the
  // loop is busy elsewhere. The loop then counts sixteen and stops accepting; unless the ended
  // session still wakes it, it waits for good with a slot free, and the next client is never
  // served.
  listener_child listener;
  ASSERT_NO_FATAL_FAILURE(listener.start([&](int listening_fd) {
    const fork_returning_after_the_child after_the_child(listener_session_limit - 1);
    return listener.serve(listening_fd);
  }));
  std::vector<unique_fd> running;
  for (int i = 0; i < listener_session_limit - 1; ++i) {
    running.push_back(listener.connect());
    ASSERT_EQ(greeting, read_exactly(running.back().fd, greeting.size(), process_watch_limit));
  }
  // This client leaves at once; its session meets the end of its input and ends.
  listener.connect().reset();
  const unique_fd next = listener.connect();
  EXPECT_EQ(greeting, read_exactly(next.fd, greeting.size(), process_watch_limit));
  // The fifteen that run and the next one: the one that ended was reaped.
  EXPECT_EQ(static_cast<std::size_t>(listener_session_limit), listener.children().size());
}

TEST(ListenerServe, WithoutItsWakePipeItStillReapsSessions) {
  // Started with no descriptor to spare, the listener cannot open the pipe through which ending
  // sessions wake it. It serves once descriptors are free again, and finds ended sessions by
  // looking every second.
  listener_child listener;
  rlimit descriptors{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &descriptors));
  ASSERT_NO_FATAL_FAILURE(listener.start([&](int listening_fd) {
    const int lowest_free = ::dup(0);
    (void)::close(lowest_free);
    const rlimit none_to_spare{static_cast<rlim_t>(lowest_free), descriptors.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &none_to_spare) != 0) {
      return 11;
    }
    return listener.serve(listening_fd);
  }));
  const unique_fd client = listener.connect();
  // Its accept meets the same limit: once it has, the pipe, opened before, cannot be there.
  ASSERT_TRUE(wait_until([&] { return !listener.error_lines().empty(); }))
      << "no failed accept reported";
  ASSERT_EQ(0, ::prlimit(listener.child.pid, RLIMIT_NOFILE, &descriptors, nullptr));
  EXPECT_EQ(greeting, read_exactly(client.fd, greeting.size(), process_watch_limit));
  ASSERT_TRUE(wait_until([&] { return listener.children().size() == 1; }));
  ASSERT_NO_FATAL_FAILURE(send_all(client.fd, "QUIT\r\n"));
  EXPECT_EQ("+OK\r\n", read_to_end(client.fd, process_watch_limit));
  EXPECT_TRUE(wait_until([&] { return listener.children().empty(); })) << "never reaped";
  EXPECT_NE('?', process_state(listener.child.pid)) << "the listener ended";
  for (const std::string& line : listener.error_lines()) {
    EXPECT_EQ(cannot_accept(EMFILE), line);
  }
}

}  // namespace
}  // namespace fernd
