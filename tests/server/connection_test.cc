#include "server/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "common/posix_handle.h"
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

TEST(ConnectionPrepare, SetsBothLimitsAndNoDelayOnTcp) {
  const milliseconds limits[] = {milliseconds(200), milliseconds(1500), connection_idle_limit};
  for (const milliseconds limit : limits) {
    SCOPED_TRACE(limit.count());
    tcp_pair pair;
    ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
    EXPECT_EQ(0, connection_prepare(pair.server.fd, limit));
    const std::int64_t expected = std::chrono::microseconds(limit).count();
    EXPECT_EQ(expected, timeout_microseconds(pair.server.fd, SO_RCVTIMEO));
    EXPECT_EQ(expected, timeout_microseconds(pair.server.fd, SO_SNDTIMEO));
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    EXPECT_EQ(0, ::getsockopt(pair.server.fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length));
    EXPECT_NE(0, no_delay);
  }
}

TEST(ConnectionPrepare, SilentPeerMakesReadFail) {
  int ends[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
  const unique_fd local{ends[0]};
  const unique_fd peer{ends[1]};
  ASSERT_EQ(0, connection_prepare(local.fd, milliseconds(100)));

  char byte = 0;
  errno = 0;
  EXPECT_EQ(-1, ::read(local.fd, &byte, 1));
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  // Data that does come is read as usual.
  ASSERT_EQ(1, ::write(peer.fd, "x", 1));
  EXPECT_EQ(1, ::read(local.fd, &byte, 1));
  EXPECT_EQ('x', byte);
}

TEST(ConnectionPrepare, LeavesOtherDescriptorsAlone) {
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  const unique_fd read_end{ends[0]};
  const unique_fd write_end{ends[1]};
  EXPECT_EQ(1, connection_prepare(read_end.fd, milliseconds(100)));
  EXPECT_EQ(1, connection_prepare(write_end.fd, milliseconds(100)));
  const unique_fd null_device{::open("/dev/null", O_RDWR)};
  ASSERT_GE(null_device.fd, 0);
  EXPECT_EQ(1, connection_prepare(null_device.fd, milliseconds(100)));
  EXPECT_EQ(1, connection_prepare(-1, milliseconds(100)));
}

/// Writes, in a child, to a socket whose peer has closed; returns the child's wait status.
int write_to_closed_peer(bool ignore_sigpipe) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (ignore_sigpipe) {
      connection_ignore_sigpipe();
    } else {
      (void)std::signal(SIGPIPE, SIG_DFL);  // whatever the test runner left us
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
      ::_exit(10);
    }
    (void)::close(ends[1]);
    errno = 0;
    const bool failed = ::write(ends[0], "x", 1) == -1 && errno == EPIPE;
    ::_exit(failed ? 0 : 11);
  }
  int status = 0;
  EXPECT_EQ(pid, ::waitpid(pid, &status, 0));
  return status;
}

TEST(ConnectionIgnoreSigpipe, WriteToVanishedPeerFailsInsteadOfKilling) {
  // Without it the process dies of the signal: the case the call exists for.
  const int killed = write_to_closed_peer(false);
  ASSERT_TRUE(WIFSIGNALED(killed));
  EXPECT_EQ(SIGPIPE, WTERMSIG(killed));

  const int survived = write_to_closed_peer(true);
  ASSERT_TRUE(WIFEXITED(survived));
  EXPECT_EQ(0, WEXITSTATUS(survived));
}

}  // namespace
}  // namespace fernd
