#include "server/session_serve.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "common/posix_handle.h"
#include "pop3/connection.h"
#include "support/child_process.h"
#include "support/process_watch.h"
#include "support/tcp_pair.h"

namespace fernd {
namespace {

using std::chrono::milliseconds;

std::int64_t timeout_microseconds(int fd, int option) {
  timeval value{};
  socklen_t length = sizeof value;
  EXPECT_EQ(0, ::getsockopt(fd, SOL_SOCKET, option, &value, &length));
  return std::int64_t{value.tv_sec} * 1'000'000 + value.tv_usec;
}

TEST(SessionSocketPrepare, SetsBothLimitsAndNoDelayOnTcp) {
  const milliseconds limits[] = {milliseconds(200), milliseconds(1500), session_idle_limit};
  for (const milliseconds limit : limits) {
    SCOPED_TRACE(limit.count());
    tcp_pair pair;
    ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
    EXPECT_TRUE(session_socket_prepare(pair.server.fd, limit));
    const std::int64_t expected = std::chrono::microseconds(limit).count();
    EXPECT_EQ(expected, timeout_microseconds(pair.server.fd, SO_RCVTIMEO));
    EXPECT_EQ(expected, timeout_microseconds(pair.server.fd, SO_SNDTIMEO));
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    EXPECT_EQ(0, ::getsockopt(pair.server.fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length));
    EXPECT_NE(0, no_delay);
  }
}

TEST(SessionSocketPrepare, SilentPeerMakesReadFail) {
  int ends[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
  const unique_fd local{ends[0]};
  const unique_fd peer{ends[1]};
  ASSERT_TRUE(session_socket_prepare(local.fd, milliseconds(100)));

  char byte = 0;
  errno = 0;
  EXPECT_EQ(-1, ::read(local.fd, &byte, 1));
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  // Data that does come is read as usual.
  ASSERT_EQ(1, ::write(peer.fd, "x", 1));
  EXPECT_EQ(1, ::read(local.fd, &byte, 1));
  EXPECT_EQ('x', byte);
  // The connection's line reader, which goes on after EINTR, still ends on the limit.
  connection c(local.fd, local.fd);
  EXPECT_EQ(line_status::input_error, read_line(c).status);
}

TEST(SessionSocketPrepare, LeavesOtherDescriptorsAlone) {
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  const unique_fd read_end{ends[0]};
  const unique_fd write_end{ends[1]};
  EXPECT_FALSE(session_socket_prepare(read_end.fd, milliseconds(100)));
  EXPECT_FALSE(session_socket_prepare(write_end.fd, milliseconds(100)));
  const unique_fd null_device{::open("/dev/null", O_RDWR)};
  ASSERT_GE(null_device.fd, 0);
  EXPECT_FALSE(session_socket_prepare(null_device.fd, milliseconds(100)));
  EXPECT_FALSE(session_socket_prepare(-1, milliseconds(100)));
}

/// Writes, in a child, to a socket whose peer has closed: plainly, or through a whole session
/// that greets the vanished client. Returns the child's wait status.
int write_to_closed_peer(bool through_session) {
  child_process child = child_start([through_session] {
    (void)std::signal(SIGPIPE, SIG_DFL);  // whatever the test runner left us
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
      return 10;
    }
    (void)::close(ends[1]);
    if (through_session) {
      session_log nowhere;
      account_list accounts{{"alice", "secret", std::nullopt}};
      const session_result result =
          session_serve(&nowhere, ends[0], ends[0], accounts, false, milliseconds(100));
      return result == session_result::aborted ? 0 : 11;
    }
    errno = 0;
    const bool failed = ::write(ends[0], "x", 1) == -1 && errno == EPIPE;
    return failed ? 0 : 11;
  });
  return child_wait(&child);
}

TEST(SessionServe, VanishedClientEndsTheSessionInsteadOfKillingIt) {
  // A plain write to it kills the process: the case the session guards against.
  const int killed = write_to_closed_peer(false);
  ASSERT_TRUE(WIFSIGNALED(killed));
  EXPECT_EQ(SIGPIPE, WTERMSIG(killed));

  const int survived = write_to_closed_peer(true);
  ASSERT_TRUE(WIFEXITED(survived)) << survived;
  EXPECT_EQ(0, WEXITSTATUS(survived));
}

TEST(SessionExitStatus, ReportsEachResultInEachMode) {
  const struct {
    session_result result;
    int inetd;
    int session_process;
  } cases[] = {
      {session_result::quit, 0, 0},
      {session_result::aborted, 1, 1},
      {session_result::auth_failed, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.result));
    EXPECT_EQ(c.inetd, session_exit_status(c.result, session_mode::inetd));
    EXPECT_EQ(c.session_process, session_exit_status(c.result, session_mode::session_process));
  }
}

// ---- the connection on a socket with idle limits ----

/// A child process that runs \a body on its end of a socket pair whose idle limits are set, as a
/// session's connection is, and reports its result over a pipe.
struct stream_child {
  child_process process;
  unique_fd peer;    ///< this process's end of the connection
  unique_fd result;  ///< what the child reports, then the end of the pipe

  void start(const std::function<std::string(unique_fd)>& body) {
    int ends[2];
    int report[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
    ASSERT_EQ(0, ::pipe(report));
    process = child_start([&] {
      (void)::close(ends[1]);
      (void)::close(report[0]);
      (void)session_socket_prepare(ends[0], session_idle_limit);
      const std::string text = body(unique_fd{ends[0]});
      (void)::write(report[1], text.data(), text.size());
      return 0;
    });
    (void)::close(ends[0]);
    (void)::close(report[1]);
    ASSERT_GT(process.pid, 0);
    peer.reset(ends[1]);
    result.reset(report[0]);
  }

  /// Everything the child reported, once it has ended.
  std::string finish() {
    std::string text;
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(result.fd, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(0, child_exit_status(child_wait(&process)));
    return text;
  }
};

TEST(Connection, ReadGoesOnAfterStopAndContinue) {
  stream_child child;
  ASSERT_NO_FATAL_FAILURE(child.start([](unique_fd fd) {
    connection c(fd.fd, fd.fd);
    const command_line line = read_line(c);
    return line.status == line_status::ready ? std::string(line.text) : std::string("failed");
  }));
  ASSERT_TRUE(wait_until([&] { return process_in_system_call(child.process.pid, SYS_read); }));
  ASSERT_NO_FATAL_FAILURE(stop_and_continue(child.process.pid));
  ASSERT_EQ(10, ::write(child.peer.fd, "STAT\r\nNOO", 10));
  EXPECT_EQ("STAT", child.finish());
}

TEST(Connection, WriteGoesOnAfterStopAndContinue) {
  // More than the socket holds, so that the child waits in a write while it is stopped.
  std::string sent;
  for (int line = 0; sent.size() < (4U << 20); ++line) {
    sent += "line " + std::to_string(line) + "\r\n";
  }
  stream_child child;
  ASSERT_NO_FATAL_FAILURE(child.start([&](unique_fd fd) {
    connection c(fd.fd, fd.fd);
    const bool written = connection_put(c, sent) && connection_flush(c);
    return std::string(written ? "sent" : "failed");
  }));
  ASSERT_TRUE(wait_until([&] { return process_in_system_call(child.process.pid, SYS_write); }));
  ASSERT_NO_FATAL_FAILURE(stop_and_continue(child.process.pid));
  std::string received;
  char buffer[65536];
  ssize_t got = 0;
  while (received.size() < sent.size() &&
         (got = ::read(child.peer.fd, buffer, sizeof buffer)) > 0) {
    received.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ("sent", child.finish());
  EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
}

}  // namespace
}  // namespace fernd
