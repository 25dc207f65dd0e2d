#include "server/listener.h"

#include <arpa/inet.h>
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
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "common/exit_status.h"
#include "common/posix_handle.h"
#include "pop3/pop3_session.h"
#include "server/listener_testing.h"
#include "server/session_process.h"

namespace fernd {

volatile std::sig_atomic_t active_sessions = 0;
volatile std::sig_atomic_t auth_failure_seen = 0;
volatile std::int64_t last_auth_failure = 0;

namespace {

// The longest wait for a free session slot before the count is tested again; an ending session
// ends the wait at once.
constexpr std::chrono::milliseconds limit_wait_step = std::chrono::seconds(1);

// After a failure that may heal (descriptors, memory or processes exhausted), the loop pauses
// before it tries again, first briefly, then longer while the failure lasts, so that it neither
// spins nor leaves clients waiting long once the resources are back.
constexpr std::chrono::milliseconds retry_pause_first(100);
constexpr std::chrono::milliseconds retry_pause_longest(1000);

// Passing failures are reported at most once in this time, however often they recur.
constexpr std::int64_t report_interval_ns = 1'000'000'000;

// The longest IPv6 address text and its terminating NUL (INET6_ADDRSTRLEN).
constexpr std::size_t peer_text_size = 46;
static_assert(peer_text_size == INET6_ADDRSTRLEN);

/// A socket address of either family: the listening address, and each peer's.
struct listener_address {
  union {
    sockaddr_in6 v6;
    sockaddr_in v4;
  } in{};
  int family = AF_UNSPEC;

  socklen_t size() const { return family == AF_INET6 ? sizeof in.v6 : sizeof in.v4; }
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&in); }
};

/// Fills \a address from the address text \a interface (IPv6 first, then IPv4 dotted decimal;
/// never a name lookup) and the low 16 bits of \a port. Returns 0, or 1 when the text is neither.
int address_parse(const char* interface, int port, listener_address* address) {
  // No range check: a port beyond 16 bits wraps, as the conversion to uint16_t does.
  const std::uint16_t port_bits = htons(static_cast<std::uint16_t>(port));
  in6_addr v6{};
  if (::inet_pton(AF_INET6, interface, &v6) == 1) {
    address->family = AF_INET6;
    address->in.v6 = sockaddr_in6{};
    address->in.v6.sin6_family = AF_INET6;
    address->in.v6.sin6_port = port_bits;
    address->in.v6.sin6_addr = v6;
    return 0;
  }
  in_addr v4{};
  if (::inet_pton(AF_INET, interface, &v4) == 1) {
    address->family = AF_INET;
    address->in.v4 = sockaddr_in{};
    address->in.v4.sin_family = AF_INET;
    address->in.v4.sin_port = port_bits;
    address->in.v4.sin_addr = v4;
    return 0;
  }
  return 1;
}

/// Writes the peer's address text into \a text and returns its port in host byte order.
int peer_describe(const listener_address& peer, char (&text)[peer_text_size]) {
  text[0] = '\0';
  if (peer.family == AF_INET6) {
    (void)::inet_ntop(AF_INET6, &peer.in.v6.sin6_addr, text, peer_text_size);
    return ntohs(peer.in.v6.sin6_port);
  }
  (void)::inet_ntop(AF_INET, &peer.in.v4.sin_addr, text, peer_text_size);
  return ntohs(peer.in.v4.sin_port);
}

/// The set of SIGCHLD alone, for blocking and unblocking it.
sigset_t child_signal_set() {
  sigset_t set;
  (void)::sigemptyset(&set);
  (void)::sigaddset(&set, SIGCHLD);
  return set;
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

/// Whether a session that starts now delays its password checks: a session process that exited
/// with status 2 or more was reaped less than 61 seconds ago.
bool session_auth_delay() {
  if (auth_failure_seen == 0) {
    return false;
  }
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return listener_auth_delay(auth_failure_seen, last_auth_failure, now.tv_sec);
}

/// Counts one more session. The handler may run at any instruction, and an increment that it split
/// into a read and a write would lose its decrement for ever; an atomic increment is one
/// instruction (or a retried exclusive store), which a signal cannot split.
void session_count_add() {
  (void)__atomic_add_fetch(&active_sessions, 1, __ATOMIC_SEQ_CST);
}

/// Signal dispositions of the listener; session processes inherit the ignored SIGHUP.
void listener_signals_install() {
  (void)std::signal(SIGHUP, SIG_IGN);
  (void)std::signal(SIGTERM, SIG_DFL);
  active_sessions = 0;
  auth_failure_seen = 0;
  struct sigaction reap {};
  reap.sa_sigaction = listener_reap;
  (void)::sigemptyset(&reap.sa_mask);
  // SA_RESTART resumes an accept that the signal interrupts; SA_NOCLDSTOP keeps stopped children
  // from raising it.
  reap.sa_flags = SA_RESTART | SA_NOCLDSTOP | SA_SIGINFO;
  (void)::sigaction(SIGCHLD, &reap, nullptr);
  // A signal mask is inherited across exec: started with SIGCHLD blocked, the listener would never
  // count a session down and would stop at the limit for good. Session processes inherit the
  // unblocked mask in turn.
  const sigset_t child_signal = child_signal_set();
  (void)::sigprocmask(SIG_UNBLOCK, &child_signal, nullptr);
}

}  // namespace

int listener_run(const char* program, const startup_config& config) {
  const char* interface = config.interface;
  const int port = config.port;
  listener_address address;
  if (address_parse(interface, port, &address) != 0) {
    std::fprintf(stderr, "%s: invalid interface\n", program);
    return exit_status_fatal;
  }
  unique_fd listening{::socket(address.family, SOCK_STREAM, 0)};
  if (listening.fd < 0) {
    std::fprintf(stderr, "%s: cannot create socket: %s\n", program, std::strerror(errno));
    return exit_status_fatal;
  }
  const int on = 1;
  if (::setsockopt(listening.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    std::fprintf(stderr, "%s: cannot set socket option: %s\n", program, std::strerror(errno));
    return exit_status_fatal;
  }
  if (::bind(listening.fd, address.get(), address.size()) != 0) {
    std::fprintf(stderr, "%s: cannot bind to %s:%d: %s\n", program, interface, port,
                 std::strerror(errno));
    return exit_status_fatal;
  }
  if (::listen(listening.fd, listen_backlog) != 0) {
    std::fprintf(stderr, "%s: cannot listen on socket: %s\n", program, std::strerror(errno));
    return exit_status_fatal;
  }
  listener_signals_install();

  listener_retry retry;
  for (;;) {
    listener_wait_for_slot(limit_wait_step);
    listener_address peer;
    peer.family = address.family;
    socklen_t length = peer.size();
    unique_fd connection{::accept(listening.fd, peer.get(), &length)};
    if (connection.fd < 0) {
      const int error = errno;
      const accept_failure kind = accept_failure_kind(error);
      if (kind == accept_failure::fatal) {
        std::fprintf(stderr, "%s: cannot accept connection: %s\n", program, std::strerror(error));
        return exit_status_fatal;
      }
      retry_report(&retry, program, "cannot accept connection", error);
      if (kind == accept_failure::retry_later) {
        retry_pause(&retry);
      }
      continue;
    }
    char peer_text[peer_text_size];
    const int peer_port = peer_describe(peer, peer_text);

    const pid_t pid = ::fork();
    if (pid == 0) {
      // The session never accepts; were the socket left open here, a listener that a signal ended
      // would still seem to listen while any session ran.
      listening.reset();
      // This process's own copies of the count and the failure time, as the fork froze them.
      session_process_run(connection.release(), peer_text, peer_port, active_sessions + 1,
                          session_auth_delay(), config);
    }
    const int fork_error = errno;
    // Without a session process the client is closed without a greeting and may try again.
    connection.reset();
    if (pid < 0) {
      // Out of processes or memory: that passes when sessions end.
      retry_report(&retry, program, "fork failed", fork_error);
      retry_pause(&retry);
      continue;
    }
    retry.pause = retry_pause_first;
    session_count_add();
  }
}

void listener_reap(int /*signal_number*/, siginfo_t* /*info*/, void* /*context*/) {
  // The loop reports the errno of a failed accept or fork; this handler may run just between.
  const int saved_errno = errno;
  int status = 0;
  while (::waitpid(-1, &status, WNOHANG) > 0) {
    if (WIFEXITED(status) && WEXITSTATUS(status) >= exit_status_auth_failed) {
      timespec now{};
      (void)::clock_gettime(CLOCK_MONOTONIC, &now);
      // The time first: a session process forked between the two stores must not see the flag
      // with a stale time.
      last_auth_failure = now.tv_sec;
      auth_failure_seen = 1;
    }
    active_sessions = active_sessions - 1;
  }
  errno = saved_errno;
}

void listener_wait_for_slot(std::chrono::milliseconds step) {
  if (active_sessions < listener_session_limit) {
    return;  // a slot is free: nothing to wait for, and no system call
  }
  // SIGCHLD is blocked between the test of the count and the wait, and the wait unblocks it
  // atomically: a session that ends just after the test still ends the wait at once, instead of
  // the slot staying unused for a whole step.
  const sigset_t child_signal = child_signal_set();
  sigset_t previous;
  (void)::sigprocmask(SIG_BLOCK, &child_signal, &previous);
  sigset_t waiting = previous;
  (void)::sigdelset(&waiting, SIGCHLD);
  const timespec step_time = clock_timespec(step);
  while (active_sessions > listener_session_limit - 1) {
    // Ends with the step, with a signal, or early after a stop and continue: each time the count
    // is tested again.
    (void)::ppoll(nullptr, 0, &step_time, &waiting);
  }
  (void)::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

bool listener_auth_delay(int failure_seen, std::int64_t last_failure, std::int64_t now_seconds) {
  return failure_seen != 0 && now_seconds - last_failure < listener_auth_delay_window;
}

}  // namespace fernd
