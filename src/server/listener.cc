// The standalone listener: the listening socket, and the loop that accepts, forks one session
// process per connection and reaps them. The loop alone keeps the count of running sessions and
// the time of the latest failed login; its SIGCHLD handler only wakes it.
#include "server/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/clock.h"
#include "common/exit_status.h"
#include "server/listener_loop.h"
#include "server/peer_address.h"
#include "server/session_process.h"

namespace fernd {
namespace {

// Without its wake pipe (none could be opened) the loop still looks for ended sessions at least
// this often, so that a full listener frees a slot within this time.
constexpr std::chrono::milliseconds reap_step_without_pipe = std::chrono::seconds(1);

// After a failure that may heal (descriptors, memory or processes exhausted), the loop pauses
// before it tries again, first briefly, then longer while the failure lasts, so that it neither
// spins nor leaves clients waiting long once the resources are back.
constexpr std::chrono::milliseconds retry_pause_first(100);
constexpr std::chrono::milliseconds retry_pause_longest(1000);

// Passing failures are reported at most once in this time, however often they recur.
constexpr std::int64_t report_interval_ns = 1'000'000'000;

/// The listening address, of either family.
struct listener_address {
  union {
    sockaddr_in6 v6;
    sockaddr_in v4;
  } in{};
  int family = AF_UNSPEC;

  socklen_t size() const { return family == AF_INET6 ? sizeof in.v6 : sizeof in.v4; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&in); }
};

/// Fills \a address from the address text \a interface (IPv6 first, then IPv4 dotted decimal;
/// never a name lookup) and \a port. Returns false when the text is neither.
bool address_parse(const char* interface, int port, listener_address* address) {
  // Start-up has refused every port outside 0 to 65535, so the port fits 16 bits.
  const std::uint16_t port_bits = htons(static_cast<std::uint16_t>(port));
  in6_addr v6{};
  if (::inet_pton(AF_INET6, interface, &v6) == 1) {
    address->family = AF_INET6;
    address->in.v6 = sockaddr_in6{};
    address->in.v6.sin6_family = AF_INET6;
    address->in.v6.sin6_port = port_bits;
    address->in.v6.sin6_addr = v6;
    return true;
  }
  in_addr v4{};
  if (::inet_pton(AF_INET, interface, &v4) == 1) {
    address->family = AF_INET;
    address->in.v4 = sockaddr_in{};
    address->in.v4.sin_family = AF_INET;
    address->in.v4.sin_port = port_bits;
    address->in.v4.sin_addr = v4;
    return true;
  }
  return false;
}

/// Whole seconds of CLOCK_MONOTONIC, the clock of the authorization-delay window.
std::int64_t monotonic_seconds() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

/// What the loop does after a failed accept.
enum class accept_failure {
  retry_now,    // the connection went or the network failed: the next one is unaffected
  retry_later,  // a resource ran out: it comes back when sessions end or memory frees
  fatal,        // the listening socket itself is unusable: nothing can heal
};

accept_failure accept_failure_kind(int error) {
  switch (error) {
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
    case EFAULT:
      return accept_failure::fatal;
    case EINTR:
    case ECONNABORTED:
    case EPERM:  // a firewall rule refused this connection
    // Errors of the new connection that Linux passes on through accept.
    case ENETDOWN:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return accept_failure::retry_now;
    default:
      // EMFILE, ENFILE, ENOBUFS, ENOMEM and whatever else a kernel may report: worth another
      // try after a pause, which keeps an unknown lasting failure from spinning.
      return accept_failure::retry_later;
  }
}

/// The loop's memory of passing failures: when it last reported one, and how long it pauses.
struct listener_retry {
  std::int64_t last_report_ns = 0;
  bool reported = false;
  std::chrono::milliseconds pause = retry_pause_first;
};

/// Writes "<program>: <what>: <error text>" to standard error, unless a line went out less than
/// a second ago: a failure that lasts must not flood the log that standard error feeds.
void retry_report(listener_retry* retry, const char* program, const char* what, int error) {
  const std::int64_t now = clock_monotonic_ns();
  if (retry->reported && now - retry->last_report_ns < report_interval_ns) {
    return;
  }
  retry->reported = true;
  retry->last_report_ns = now;
  std::fprintf(stderr, "%s: %s: %s\n", program, what, std::strerror(error));
}

/// Sleeps for the current pause, all of it even when signals arrive, then doubles the pause up
/// to its longest.
void retry_pause(listener_retry* retry) {
  clock_sleep(retry->pause);
  retry->pause = std::min(retry->pause * 2, retry_pause_longest);
}

/// Whether a session that starts now delays its password checks; the clock is read only when a
/// failure was seen at all.
bool session_auth_delay(const listener_sessions& sessions) {
  return sessions.last_auth_failure &&
         listener_auth_delay(sessions.last_auth_failure, monotonic_seconds());
}

// The write end of the wake pipe, for the SIGCHLD handler; -1 while there is none. Only the loop
// and the session process right after the fork write it; a sig_atomic_t, so that the handler
// never reads half of a change.
volatile std::sig_atomic_t wake_write_fd = -1;

/// The SIGCHLD handler: one byte into the wake pipe, nothing else. A full pipe wakes the loop
/// as well, so a failed write loses nothing. errno is left as it was found: the loop may be just
/// between a failed call and its report.
void wake_loop(int /*signal_number*/) {
  const int saved_errno = errno;
  const int fd = wake_write_fd;
  if (fd >= 0) {
    const char byte = 0;
    (void)::write(fd, &byte, 1);
  }
  errno = saved_errno;
}

/// The pipe through which an ending session wakes the loop: a byte that the SIGCHLD handler writes
/// stays there until the loop reads it, however late the loop comes to wait. While it lives the
/// handler is installed and SIGCHLD unblocked; when it ends, the previous SIGCHLD action comes
/// back before the pipe closes. Without a pipe (no descriptor to spare at start) both ends are
/// -1, and the loop looks for ended sessions by the clock instead.
struct listener_wake {
  unique_fd read_end;
  unique_fd write_end;
  struct sigaction previous {};

  listener_wake() {
    int ends[2] = {-1, -1};
    // Non-blocking: neither the handler's write nor the loop's draining read may ever wait.
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
      read_end.reset(ends[0]);
      write_end.reset(ends[1]);
      wake_write_fd = ends[1];
    }
    struct sigaction wake {};
    wake.sa_handler = wake_loop;
    (void)::sigemptyset(&wake.sa_mask);
    // SA_RESTART resumes a write to standard error that the signal interrupts (poll returns
    // EINTR regardless, and the loop polls again); SA_NOCLDSTOP keeps stopped children from
    // raising it.
    wake.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    (void)::sigaction(SIGCHLD, &wake, &previous);
    // A signal mask is inherited across exec: started with SIGCHLD blocked, the listener would
    // never be woken by an ending session and would stop at the limit for good. Session processes
    // inherit the unblocked mask in turn.
    sigset_t child_signal;
    (void)::sigemptyset(&child_signal);
    (void)::sigaddset(&child_signal, SIGCHLD);
    (void)::sigprocmask(SIG_UNBLOCK, &child_signal, nullptr);
  }
  ~listener_wake() {
    (void)::sigaction(SIGCHLD, &previous, nullptr);
    wake_write_fd = -1;
  }
  listener_wake(const listener_wake&) = delete;
  listener_wake& operator=(const listener_wake&) = delete;
};

/// Empties the wake pipe: every byte stands for the same news, that some session ended.
void wake_drain(const listener_wake& wake) {
  if (wake.read_end.fd < 0) {
    return;
  }
  char bytes[64];
  for (;;) {
    const ssize_t got = ::read(wake.read_end.fd, bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < static_cast<ssize_t>(sizeof bytes)) {
      return;  // empty now (EAGAIN)
    }
  }
}

/// Waits until an ending session wakes the loop or, when \a listening_fd is not negative, a
/// client waits to be accepted; a signal does not end the wait. Returns whether the loop must
/// reap: after a wake-up, and after every wait when there is no wake pipe, which then lasts at
/// most a reaping step. When poll itself fails (only when the kernel is short of memory) it
/// pauses first.
bool wait_for_work(const listener_wake& wake, int listening_fd, listener_retry* retry) {
  const bool pipe_open = wake.read_end.fd >= 0;
  // poll skips a negative descriptor.
  pollfd watched[2] = {{wake.read_end.fd, POLLIN, 0}, {listening_fd, POLLIN, 0}};
  const int timeout_ms = pipe_open ? -1 : static_cast<int>(reap_step_without_pipe.count());
  for (;;) {
    if (::poll(watched, 2, timeout_ms) >= 0) {
      return !pipe_open || watched[0].revents != 0;
    }
    if (errno != EINTR) {
      retry_pause(retry);
      return !pipe_open;
    }
  }
}

/// Forks the session process that serves \a connection, which this process then closes either
/// way: without a session process the client is closed without a greeting and may try again.
/// Returns 0 once the session process runs, or the error of the failed fork.
int session_fork(unique_fd connection, const sockaddr_storage& peer, int listening_fd,
                 listener_wake* wake, const listener_sessions& sessions, startup_config& config) {
  const pop3_client_address client = peer_address_of(peer);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The session never accepts; were the socket left open here, a listener that a signal ended
    // would still seem to listen while any session ran. Nor does it wake a loop: its copy of the
    // pipe would only hold two descriptors for the whole session. The handler stays until the
    // session process takes SIGCHLD back, and does nothing meanwhile.
    (void)::close(listening_fd);
    wake_write_fd = -1;
    wake->write_end.reset();
    wake->read_end.reset();
    // The count at the fork, with this session; the delay from the loop's state as the fork
    // froze it.
    session_process_run(connection.release(), client, sessions.active + 1,
                        session_auth_delay(sessions), config);
  }
  return pid < 0 ? errno : 0;
}

}  // namespace

bool listener_interface_valid(const char* interface) {
  listener_address address;
  return address_parse(interface, 0, &address);
}

unique_fd listener_bind(const char* program, const startup_config& config) {
  listener_address address;
  if (!address_parse(config.interface, config.port, &address)) {
    std::fprintf(stderr, "%s: invalid interface\n", program);
    return {};
  }
  unique_fd listening{::socket(address.family, SOCK_STREAM, 0)};
  if (listening.fd < 0) {
    std::fprintf(stderr, "%s: cannot create socket: %s\n", program, std::strerror(errno));
    return {};
  }
  const int on = 1;
  if (::setsockopt(listening.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    std::fprintf(stderr, "%s: cannot set socket option: %s\n", program, std::strerror(errno));
    return {};
  }
  if (::bind(listening.fd, address.get(), address.size()) != 0) {
    std::fprintf(stderr, "%s: cannot bind to %s:%d: %s\n", program, config.interface, config.port,
                 std::strerror(errno));
    return {};
  }
  if (::listen(listening.fd, listen_backlog) != 0) {
    std::fprintf(stderr, "%s: cannot listen on socket: %s\n", program, std::strerror(errno));
    return {};
  }
  return listening;
}

int listener_serve(const char* program, int listening_fd, startup_config& config) {
  // An accept that finds no client returns at once instead of waiting: the loop waits in poll,
  // where an ending session can wake it. (On Linux the accepted socket does not inherit
  // O_NONBLOCK.) When this fails, the descriptor is none, and the first accept says so.
  const int flags = ::fcntl(listening_fd, F_GETFL);
  if (flags >= 0) {
    (void)::fcntl(listening_fd, F_SETFL, flags | O_NONBLOCK);
  }
  // Session processes inherit the ignored SIGHUP.
  (void)std::signal(SIGHUP, SIG_IGN);
  (void)std::signal(SIGTERM, SIG_DFL);
  listener_wake wake;

  listener_sessions sessions;
  listener_retry retry;
  for (;;) {
    // With every slot taken the loop neither accepts nor looks at the socket: clients wait in the
    // listen backlog until a session ends.
    const bool slot_free = sessions.active < listener_session_limit;
    if (slot_free) {
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      unique_fd connection{::accept(listening_fd, reinterpret_cast<sockaddr*>(&peer), &length)};
      const int error = errno;
      if (connection.fd >= 0) {
        const int fork_error =
            session_fork(std::move(connection), peer, listening_fd, &wake, sessions, config);
        if (fork_error != 0) {
          // Out of processes or memory: that passes when sessions end.
          retry_report(&retry, program, "fork failed", fork_error);
          retry_pause(&retry);
        } else {
          retry.pause = retry_pause_first;
          ++sessions.active;
        }
        continue;  // more clients may be waiting
      }
      if (error != EAGAIN && error != EWOULDBLOCK) {
        const accept_failure kind = accept_failure_kind(error);
        if (kind == accept_failure::fatal) {
          std::fprintf(stderr, "%s: cannot accept connection: %s\n", program, std::strerror(error));
          return exit_status_fatal;
        }
        retry_report(&retry, program, "cannot accept connection", error);
        if (kind == accept_failure::retry_later) {
          retry_pause(&retry);
        }
      }
    }
    // Whatever ends the wait, the next turn's accept tells the truth about the socket: a closed
    // descriptor, which poll only marks POLLNVAL, fails there with EBADF.
    if (wait_for_work(wake, slot_free ? listening_fd : -1, &retry)) {
      // Drained first: a session that ends after the reaping leaves a byte for the next wait.
      wake_drain(wake);
      listener_reap(&sessions);
    }
  }
}

int listener_run(const char* program, startup_config& config) {
  const unique_fd listening = listener_bind(program, config);
  if (listening.fd < 0) {
    return exit_status_fatal;
  }
  return listener_serve(program, listening.fd, config);
}

void listener_reap(listener_sessions* sessions) {
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid < 0 && errno == EINTR) {
      continue;
    }
    if (pid <= 0) {
      return;  // 0: the others still run; -1: no child is left
    }
    // A session process ended by a signal saw no failed login that it could report.
    if (WIFEXITED(status) && WEXITSTATUS(status) >= exit_status_auth_failed) {
      sessions->last_auth_failure = monotonic_seconds();
    }
    --sessions->active;
  }
}

bool listener_auth_delay(std::optional<std::int64_t> last_failure, std::int64_t now_seconds) {
  return last_failure && now_seconds - *last_failure < listener_auth_delay_window;
}

}  // namespace fernd
