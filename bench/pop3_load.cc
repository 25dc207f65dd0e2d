// fernd_pop3_load: a POP3 client built for speed, not a test. It speaks just enough POP3 to time
// what users feel (setting up sessions, RETR throughput, listings) and prints one JSON object per
// measurement on standard output. It shares no code with the server, so that a fault in the
// server's code cannot hide in the instrument that measures it.
//
// Modes:
//   sessions  C clients in parallel, each running connect, greeting, USER, PASS, STAT, QUIT and
//             waiting for the server to close, for a time or a number of sessions
//   retr      one login, then RETR of one message (--repeat times): throughput and the gap
//             before the last read; with --floors, the floors (below) run before the first RETR
//             and after each, over loopback to the same reading loop, and each RETR line carries
//             its ratio to the floors on either side of it
//   uidl,list one login, then the listing: time of the login and of the whole
//   login     one login, then QUIT (with --hold: an idle logged-in session)
//   floor     the plain floor alone
//
// The floors are senders that no server can beat on this machine, each a process of its own that
// answers the same greeting, USER and PASS and then sends the RETR's bytes:
//   plain      the same number of bytes from one reused, cache-hot buffer of 1 MiB, in 1 MiB
//              writes: the socket copy alone, the ceiling of every sender
//   transform  the message file read in 1 MiB pieces, line ends found with memchr, a bare LF
//              made CR LF and a leading dot doubled into a 2 MiB buffer, which is written whole:
//              the least work of any server that must transform the file
//
// Plain blocking sockets with timeouts, large read buffers, and the least parsing that still
// tells where a reply ends: a single-line reply ends at its first CR LF, and a multi-line reply
// (which dot-stuffing keeps free of an inner "\r\n.\r\n") at the first "\r\n.\r\n", which in a
// lockstep dialogue is the last five bytes received.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fernd {
namespace {

/// Bytes per read(2) of a multi-line reply: large, so that the client is never what limits the
/// transfer and the number of reads stays small.
constexpr std::size_t load_read_size = 1 << 20;

/// The plain floor's buffer and the size of each of its writes; the transforming floor's reads.
constexpr std::size_t floor_piece_size = 1 << 20;

/// The longest single-line reply this client accepts. fernd's longest is a UIDL line with a file
/// name, far below this.
constexpr std::size_t status_line_limit = 4096;

/// A session mode run stops once this many sessions have failed: the figures would be
/// meaningless, and a server that refuses everything must not keep the client spinning.
constexpr std::uint64_t session_error_limit = 50;

/// Upper bound on sessions per run, so that a mistyped --seconds cannot exhaust memory with
/// latency samples.
constexpr std::uint64_t session_count_limit = 10'000'000;

/// Upper bound on --repeat: a run stays short even for a large message.
constexpr std::uint64_t repeat_limit = 1000;

/// The end of every multi-line reply.
constexpr std::string_view multiline_end = "\r\n.\r\n";

struct load_options {
  std::string mode;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string user = "bench";
  std::string pass = "bench";
  int accounts = 0;  ///< 0: every session logs in as user; K: client t as user + (t % K)
  int concurrency = 1;
  double seconds = 0;           ///< sessions mode: run this long...
  std::uint64_t sessions = 0;   ///< ...or this many sessions
  std::uint64_t message = 1;    ///< retr: the message number
  std::uint64_t repeat = 1;     ///< retr: transfers in the session
  bool floors = false;          ///< retr: measure the floors around every RETR
  std::string message_file;     ///< retr with --floors: the transforming floor sends this file
  std::uint64_t bytes = 0;      ///< retr with --floors, floor: the bytes of the whole reply
  bool hold = false;            ///< before QUIT, print {"mode":"hold"} and wait for a line on stdin
  double hold_seconds = 120;    ///< longest wait for that line
  double timeout_seconds = 60;  ///< longest wait of any socket read or write
  int floor_cpu = -1;           ///< the CPU that the floor processes are bound to; -1: any
  std::string label;            ///< copied into every JSON object
};

std::int64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double ns_to_ms(std::int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

/// Owns one socket descriptor.
struct socket_fd {
  int fd = -1;
  socket_fd() = default;
  explicit socket_fd(int f) noexcept : fd(f) {}
  socket_fd(socket_fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
  socket_fd& operator=(socket_fd&& o) noexcept {
    reset();
    fd = o.fd;
    o.fd = -1;
    return *this;
  }
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  ~socket_fd() { reset(); }
  void reset() noexcept {
    if (fd >= 0) {
      ::close(fd);
    }
    fd = -1;
  }
};

/// A JSON object built field by field; values are numbers, booleans or strings of our own.
struct json_line {
  std::string text = "{";

  void key(const char* name) {
    if (text.size() > 1) {
      text += ',';
    }
    text += '"';
    text += name;
    text += "\":";
  }
  void add(const char* name, std::string_view value) {
    key(name);
    text += '"';
    for (const char c : value) {
      if (c == '"' || c == '\\') {
        text += '\\';
        text += c;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
        text += escaped;
      } else {
        text += c;
      }
    }
    text += '"';
  }
  void add(const char* name, const char* value) { add(name, std::string_view(value)); }
  void add(const char* name, std::uint64_t value) {
    key(name);
    text += std::to_string(value);
  }
  void add(const char* name, int value) {
    key(name);
    text += std::to_string(value);
  }
  void add(const char* name, double value) {
    key(name);
    char number[64];
    std::snprintf(number, sizeof number, "%.6g", value);
    text += number;
  }
  void add(const char* name, bool value) {
    key(name);
    text += value ? "true" : "false";
  }
  void print() {
    text += "}\n";
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  }
};

json_line start_json(const load_options& options, const char* mode) {
  json_line line;
  line.add("mode", mode);
  if (!options.label.empty()) {
    line.add("label", options.label);
  }
  return line;
}

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void set_timeouts(int fd, double seconds) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds);
  limit.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(limit.tv_sec)) * 1e6);
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

/// Connects to host:port (an IPv4 or IPv6 address text). Returns the socket, or none with
/// \a error set.
socket_fd connect_to(const std::string& host, int port, double timeout_seconds,
                     std::string* error) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof *v6;
  } else {
    *error = "invalid address " + host;
    return socket_fd();
  }
  socket_fd sock(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sock.fd < 0) {
    *error = errno_text("socket");
    return socket_fd();
  }
  set_timeouts(sock.fd, timeout_seconds);
  // Commands are small and the dialogue is lockstep: the client must not add a Nagle delay of
  // its own to what is measured of the server.
  const int on = 1;
  (void)::setsockopt(sock.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(sock.fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    *error = errno_text("connect");
    return socket_fd();
  }
  return sock;
}

bool send_all(int fd, std::string_view data, std::string* error) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      *error = errno_text("send");
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

/// Reads one single-line reply. Returns true for "+OK..."; false for "-ERR..." or a failure, with
/// \a error set. The reply line, without CR LF, goes to \a line when given.
bool read_status(int fd, std::string* error, std::string* line = nullptr) {
  char buffer[status_line_limit];
  std::size_t used = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + used, sizeof buffer - used);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      *error = errno_text("read");
      return false;
    }
    if (n == 0) {
      *error = "connection closed before a complete reply";
      return false;
    }
    used += static_cast<std::size_t>(n);
    const std::string_view seen(buffer, used);
    const std::size_t end = seen.find("\r\n");
    if (end != std::string_view::npos) {
      if (line != nullptr) {
        line->assign(buffer, end);
      }
      if (seen.substr(0, 3) == "+OK") {
        return true;
      }
      *error = "server replied " + std::string(seen.substr(0, end));
      return false;
    }
    if (used == sizeof buffer) {
      *error = "reply line too long";
      return false;
    }
  }
}

bool command(int fd, std::string_view text, std::string* error, std::string* line = nullptr) {
  return send_all(fd, text, error) && read_status(fd, error, line);
}

/// Waits until the server closes the connection. A session process releases its mailbox before
/// it closes, so the next session of the same account can log in at once.
bool await_close(int fd, std::string* error) {
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) {
      return true;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      *error = errno_text("read while waiting for the close");
    } else {
      *error = "unexpected bytes after the reply to QUIT";
    }
    return false;
  }
}

/// Greeting, USER and PASS.
bool login(int fd, const std::string& user, const std::string& pass, std::string* error) {
  return read_status(fd, error) && command(fd, "USER " + user + "\r\n", error) &&
         command(fd, "PASS " + pass + "\r\n", error);
}

/// What a multi-line reply looked like on arrival.
struct multiline_reply {
  bool ok = false;
  std::uint64_t bytes = 0;  ///< every byte of the reply: status line, body and terminator
  std::uint64_t reads = 0;  ///< read(2) calls that returned data
  std::uint64_t lines = 0;  ///< LF bytes, counted only when asked for
  std::int64_t first_read_ns = 0;
  std::int64_t previous_read_ns = 0;  ///< the second-to-last read's return
  std::int64_t last_read_ns = 0;
};

/// Reads one multi-line reply into a scratch buffer of load_read_size bytes. The status line is
/// checked; after that only the last five bytes of the stream are looked at, carried across reads.
multiline_reply read_multiline(int fd, char* buffer, bool count_lines, std::string* error) {
  multiline_reply reply;
  char tail[multiline_end.size()] = {};  // the stream's last bytes, right-aligned
  std::size_t status_end = 0;            // bytes of the status line with its CR LF, once known
  std::string status;                    // the status line's first bytes, until its end is seen
  for (;;) {
    const ssize_t n = ::read(fd, buffer, load_read_size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      *error = n == 0 ? "connection closed inside a multi-line reply" : errno_text("read");
      return reply;
    }
    const std::int64_t t = now_ns();
    const auto got = static_cast<std::size_t>(n);
    if (reply.reads == 0) {
      reply.first_read_ns = t;
    }
    reply.previous_read_ns = reply.last_read_ns;
    reply.last_read_ns = t;
    ++reply.reads;
    if (status_end == 0) {
      const std::size_t keep = std::min(got, status_line_limit - status.size());
      status.append(buffer, keep);
      const std::size_t end = status.find("\r\n");
      if (end != std::string::npos) {
        if (status.compare(0, 3, "+OK") != 0) {
          *error = "server replied " + status.substr(0, end);
          return reply;
        }
        status_end = end + 2;
      } else if (status.size() == status_line_limit) {
        *error = "status line too long";
        return reply;
      }
    }
    if (count_lines) {
      reply.lines += static_cast<std::uint64_t>(std::count(buffer, buffer + got, '\n'));
    }
    reply.bytes += got;
    if (got >= sizeof tail) {
      std::memcpy(tail, buffer + got - sizeof tail, sizeof tail);
    } else {
      std::memmove(tail, tail + got, sizeof tail - got);
      std::memcpy(tail + sizeof tail - got, buffer, got);
    }
    // The shortest reply is "+OK\r\n.\r\n": the terminator may share its CR LF with the status
    // line, but no byte of the terminator lies before the status line's CR.
    if (status_end != 0 && reply.bytes >= status_end + 3 &&
        std::string_view(tail, sizeof tail) == multiline_end) {
      reply.ok = true;
      return reply;
    }
  }
}

/// Prints {"mode":"hold"}, then waits for a line (or end of input) on stdin, at most hold_seconds:
/// the driver measures the server's session process meanwhile.
void hold_if_asked(const load_options& options) {
  if (!options.hold) {
    return;
  }
  json_line line = start_json(options, "hold");
  line.add("ok", true);
  line.print();
  pollfd in{STDIN_FILENO, POLLIN, 0};
  const std::int64_t deadline = now_ns() + static_cast<std::int64_t>(options.hold_seconds * 1e9);
  for (;;) {
    const std::int64_t left_ms = (deadline - now_ns()) / 1'000'000;
    if (left_ms <= 0) {
      return;
    }
    const int ready = ::poll(&in, 1, static_cast<int>(std::min<std::int64_t>(left_ms, 1000)));
    if (ready > 0) {
      char c = 0;
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n <= 0 || c == '\n') {
        return;
      }
    } else if (ready < 0 && errno != EINTR) {
      return;
    }
  }
}

void print_failure(const load_options& options, const char* mode, const std::string& error) {
  json_line line = start_json(options, mode);
  line.add("ok", false);
  line.add("error", error);
  line.print();
}

std::string user_of(const load_options& options, int client) {
  if (options.accounts <= 0) {
    return options.user;
  }
  return options.user + std::to_string(client % options.accounts);
}

// ---- sessions ----------------------------------------------------------------------------------

struct session_client {
  std::vector<double> latencies_ms;
  std::uint64_t errors = 0;
  std::string first_error;
};

struct session_plan {
  std::atomic<std::uint64_t> claimed{0};
  std::atomic<std::uint64_t> errors{0};
  std::uint64_t limit = 0;       ///< sessions to run in all
  std::int64_t deadline_ns = 0;  ///< no session starts after this
};

/// One full session: connect, greeting, USER, PASS, STAT, QUIT, and the server's close.
bool run_one_session(const load_options& options, const std::string& user, std::string* error) {
  socket_fd sock = connect_to(options.host, options.port, options.timeout_seconds, error);
  return sock.fd >= 0 && login(sock.fd, user, options.pass, error) &&
         command(sock.fd, "STAT\r\n", error) && command(sock.fd, "QUIT\r\n", error) &&
         await_close(sock.fd, error);
}

void session_client_loop(const load_options& options, int client, session_plan* plan,
                         session_client* result) {
  const std::string user = user_of(options, client);
  for (;;) {
    if (plan->claimed.fetch_add(1) >= plan->limit || now_ns() >= plan->deadline_ns ||
        plan->errors.load() >= session_error_limit) {
      return;
    }
    std::string error;
    const std::int64_t start = now_ns();
    if (run_one_session(options, user, &error)) {
      result->latencies_ms.push_back(ns_to_ms(now_ns() - start));
    } else {
      ++result->errors;
      plan->errors.fetch_add(1);
      if (result->first_error.empty()) {
        result->first_error = error;
      }
    }
  }
}

/// CPU time of this process, all threads, in milliseconds: tells whether the client itself was
/// what limited a run.
double client_cpu_ms() {
  rusage usage{};
  (void)::getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) {
    return 0;
  }
  // Nearest rank: the smallest sample with at least p of all samples at or below it.
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

int run_sessions(const load_options& options) {
  session_plan plan;
  plan.limit = options.sessions > 0 ? options.sessions : session_count_limit;
  const std::int64_t start = now_ns();
  plan.deadline_ns =
      options.seconds > 0 ? start + static_cast<std::int64_t>(options.seconds * 1e9) : INT64_MAX;
  std::vector<session_client> clients(static_cast<std::size_t>(options.concurrency));
  std::vector<std::thread> threads;
  threads.reserve(clients.size());
  for (int i = 0; i < options.concurrency; ++i) {
    threads.emplace_back(session_client_loop, std::cref(options), i, &plan,
                         &clients[static_cast<std::size_t>(i)]);
  }
  for (std::thread& t : threads) {
    t.join();
  }
  const std::int64_t elapsed = now_ns() - start;

  std::vector<double> all;
  std::uint64_t errors = 0;
  std::string first_error;
  for (const session_client& c : clients) {
    all.insert(all.end(), c.latencies_ms.begin(), c.latencies_ms.end());
    errors += c.errors;
    if (first_error.empty()) {
      first_error = c.first_error;
    }
  }
  std::sort(all.begin(), all.end());
  const double seconds = static_cast<double>(elapsed) / 1e9;
  json_line line = start_json(options, "sessions");
  line.add("ok", errors == 0 && !all.empty());
  line.add("concurrency", options.concurrency);
  line.add("sessions", static_cast<std::uint64_t>(all.size()));
  line.add("errors", errors);
  if (!first_error.empty()) {
    line.add("first_error", first_error);
  }
  line.add("seconds", seconds);
  line.add("sessions_per_s", static_cast<double>(all.size()) / seconds);
  line.add("p50_ms", percentile(all, 0.50));
  line.add("p99_ms", percentile(all, 0.99));
  line.add("max_ms", all.empty() ? 0.0 : all.back());
  line.add("client_cpu_ms", client_cpu_ms());
  line.print();
  return errors == 0 && !all.empty() ? 0 : 1;
}

// ---- the floors --------------------------------------------------------------------------------

/// One line of the plain floor's payload: 79 letters and CR LF.
constexpr std::string_view floor_line =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyza\r\n";

/// The status line that both floors begin their reply with.
constexpr std::string_view floor_status = "+OK\r\n";

/// CPU time of this process in nanoseconds.
std::int64_t process_cpu_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool floor_reply(int conn, std::string_view reply) {
  return ::send(conn, reply.data(), reply.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(reply.size());
}

/// Sends all of \a size bytes; false when the connection fails.
bool floor_send_all(int conn, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(conn, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

/// The plain floor's answer to RETR: \a total bytes in writes of floor_piece_size, every one from
/// the same buffer \a piece (filled, and so in the cache and in memory, before the RETR came). It
/// begins with "+OK" and lines of 79 letters and CR LF; the last write ends in the terminator,
/// written into the buffer just before it and taken out again after it.
bool floor_plain(int conn, char* piece, std::uint64_t total) {
  std::uint64_t sent = 0;
  while (sent < total) {
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(floor_piece_size, total - sent));
    if (sent + size < total) {
      if (!floor_send_all(conn, piece, size)) {
        return false;
      }
      sent += size;
      continue;
    }
    char* const end = piece + size - multiline_end.size();
    char kept[multiline_end.size()];
    std::memcpy(kept, end, sizeof kept);
    std::memcpy(end, multiline_end.data(), multiline_end.size());
    const bool last_sent = floor_send_all(conn, piece, size);
    std::memcpy(end, kept, sizeof kept);
    return last_sent;
  }
  return true;
}

/// Where the transforming floor stands in the file's byte stream, carried across pieces.
struct floor_transform_state {
  bool line_start = true;  ///< the next byte begins a line
  bool after_cr = false;   ///< the last byte so far was CR
};

/// The wire form of one piece of the file: a LF that no CR precedes gets one, a line that begins
/// with '.' gets one more. Returns the end of what was formed at \a out.
char* floor_transform_piece(floor_transform_state& state, const char* data, std::size_t size,
                            char* out) {
  const char* const end = data + size;
  while (data < end) {
    if (state.line_start && *data == '.') {
      *out++ = '.';
    }
    const auto* line_end =
        static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
    const auto length = static_cast<std::size_t>((line_end == nullptr ? end : line_end) - data);
    std::memcpy(out, data, length);
    out += length;
    if (length > 0) {
      state.after_cr = data[length - 1] == '\r';
      state.line_start = false;
    }
    if (line_end == nullptr) {
      break;
    }
    if (!state.after_cr) {
      *out++ = '\r';
    }
    *out++ = '\n';
    state.line_start = true;
    state.after_cr = false;
    data = line_end + 1;
  }
  return out;
}

/// The transforming floor's answer to RETR: "+OK", the message file \a path in its wire form
/// (see floor_transform_piece, and a final CR LF where the file lacks one), and the terminator.
/// Each piece of floor_piece_size bytes is read into \a in, formed in \a out and written whole;
/// the end of the reply follows in a write of its own.
bool floor_transform(int conn, const char* path, char* in, char* out) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  floor_transform_state state;
  std::memcpy(out, floor_status.data(), floor_status.size());
  std::size_t used = floor_status.size();
  for (;;) {
    const ssize_t got = ::read(fd, in, floor_piece_size);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      ::close(fd);
      if (got < 0) {
        return false;
      }
      break;
    }
    char* const formed =
        floor_transform_piece(state, in, static_cast<std::size_t>(got), out + used);
    if (!floor_send_all(conn, out, static_cast<std::size_t>(formed - out))) {
      ::close(fd);
      return false;
    }
    used = 0;
  }
  const std::string_view ending = state.line_start ? ".\r\n" : "\r\n.\r\n";
  std::memcpy(out + used, ending.data(), ending.size());
  return floor_send_all(conn, out, used + ending.size());
}

/// The size of a transparent huge page (x86-64, arm64 with 4 KiB pages).
constexpr std::size_t floor_huge_page = std::size_t{2} << 20;

/// \a size bytes for a floor's buffers, aligned to a transparent huge page and on huge pages where
/// the kernel has them, as fernd's transfer memory is: the copies into and out of them then miss
/// the TLB less than on small pages. Every page is written once, so that no page fault falls into
/// a measurement. Never freed: the floor process ends with its connection.
char* floor_memory(std::size_t size) {
  const std::size_t mapped = (size + floor_huge_page - 1) / floor_huge_page * floor_huge_page;
  void* const region = ::mmap(nullptr, mapped + floor_huge_page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) {
    ::_exit(2);
  }
  const auto start = reinterpret_cast<std::uintptr_t>(region);
  auto* const aligned =
      reinterpret_cast<char*>((start + floor_huge_page - 1) & ~(floor_huge_page - 1));
  (void)::madvise(aligned, mapped, MADV_HUGEPAGE);
  std::memset(aligned, 0, mapped);
  return aligned;
}

/// The floor process: makes its buffers and writes every page of them, accepts one connection,
/// answers a greeting, USER and PASS with "+OK", then every RETR with the plain floor's \a total
/// bytes (or, with \a message_file, the transforming floor's wire form of the file), until QUIT or
/// the end of the connection. The CPU time of each answer goes to \a cpu_pipe. Nagle is off, as on
/// fernd's sockets, so that a last, shorter write is not held back. With \a cpu of 0 or more, the
/// process runs on that CPU alone, where the driver has put the server too.
[[noreturn]] void floor_child(int listener, std::uint64_t total, double timeout_seconds,
                              const char* message_file, int cpu_pipe, int cpu) {
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) {
      ::_exit(2);
    }
  }
  // The output buffer first, then the piece, each on huge pages of its own. The output holds the
  // wire form of one piece, at most twice as long (every byte a LF, or a dot after a LF), and the
  // status line or the end of the reply besides: 2 MiB and a few bytes.
  char* const memory = floor_memory(2 * floor_huge_page + floor_piece_size);
  char* const out = memory;
  char* const piece = memory + 2 * floor_huge_page;
  if (message_file == nullptr) {
    for (std::size_t i = 0; i < floor_piece_size; i += floor_line.size()) {
      std::memcpy(piece + i, floor_line.data(), std::min(floor_line.size(), floor_piece_size - i));
    }
    std::memcpy(piece, floor_status.data(), floor_status.size());
  }
  pollfd waiting{listener, POLLIN, 0};
  if (::poll(&waiting, 1, static_cast<int>(timeout_seconds * 1000)) != 1) {
    ::_exit(2);
  }
  const int conn = ::accept(listener, nullptr, nullptr);
  if (conn < 0) {
    ::_exit(2);
  }
  set_timeouts(conn, timeout_seconds);
  const int on = 1;
  (void)::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!floor_reply(conn, floor_status)) {
    ::_exit(2);
  }
  for (std::string line;;) {
    char c = 0;
    if (::read(conn, &c, 1) <= 0) {
      ::_exit(line.empty() ? 0 : 2);
    }
    line += c;
    if (c != '\n') {
      continue;
    }
    if (line.compare(0, 5, "RETR ") != 0) {
      if (!floor_reply(conn, floor_status)) {
        ::_exit(2);
      }
      if (line.compare(0, 4, "QUIT") == 0) {
        ::_exit(0);
      }
      line.clear();
      continue;
    }
    line.clear();
    const std::int64_t cpu_start = process_cpu_ns();
    const bool sent = message_file != nullptr ? floor_transform(conn, message_file, piece, out)
                                              : floor_plain(conn, piece, total);
    const std::int64_t cpu = process_cpu_ns() - cpu_start;
    if (!sent || ::write(cpu_pipe, &cpu, sizeof cpu) != static_cast<ssize_t>(sizeof cpu)) {
      ::_exit(2);
    }
  }
}

struct transfer_figures {
  bool ok = false;
  std::uint64_t bytes = 0;
  std::uint64_t reads = 0;
  double seconds = 0;
  double mb_per_s = 0;
  double last_read_gap_ms = 0;
  double first_byte_ms = 0;
  double cpu_ms = -1;  ///< a floor's CPU time for the reply; -1 when not known
};

transfer_figures figures_of(const multiline_reply& reply, std::int64_t start) {
  transfer_figures f;
  f.ok = reply.ok;
  f.bytes = reply.bytes;
  f.reads = reply.reads;
  f.seconds = static_cast<double>(reply.last_read_ns - start) / 1e9;
  f.mb_per_s = f.seconds > 0 ? static_cast<double>(reply.bytes) / 1e6 / f.seconds : 0;
  f.last_read_gap_ms =
      reply.reads >= 2 ? ns_to_ms(reply.last_read_ns - reply.previous_read_ns) : 0.0;
  f.first_byte_ms = ns_to_ms(reply.first_read_ns - start);
  return f;
}

void add_transfer(json_line* line, const transfer_figures& f) {
  line->add("bytes", f.bytes);
  line->add("reads", f.reads);
  line->add("seconds", f.seconds);
  line->add("mb_per_s", f.mb_per_s);
  line->add("first_byte_ms", f.first_byte_ms);
  line->add("last_read_gap_ms", f.last_read_gap_ms);
  if (f.cpu_ms >= 0) {
    line->add("cpu_ms_per_mb", f.cpu_ms / (static_cast<double>(f.bytes) / 1e6));
  }
}

/// One floor process and the logged-in connection to it.
struct floor_server {
  pid_t pid = -1;
  socket_fd sock;
  socket_fd cpu;  ///< where the process reports the CPU time of each answer

  floor_server() = default;
  floor_server(const floor_server&) = delete;
  floor_server& operator=(const floor_server&) = delete;
  /// Ends the connection, which ends the process, and reaps it.
  ~floor_server() {
    sock.reset();
    if (pid > 0) {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

/// Starts the plain floor for replies of \a total bytes (or, with \a message_file, the
/// transforming floor on that file), connects to it and logs in, as to a POP3 server.
bool floor_start(const load_options& options, std::uint64_t total, const char* message_file,
                 floor_server* floor, std::string* error) {
  if (message_file == nullptr && total < floor_status.size() + multiline_end.size()) {
    *error = "the plain floor needs at least 10 bytes";
    return false;
  }
  socket_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener.fd < 0 ||
      ::bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.fd, 1) != 0 ||
      ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = errno_text("floor socket");
    return false;
  }
  int cpu_pipe[2];
  if (::pipe2(cpu_pipe, O_CLOEXEC) != 0) {
    *error = errno_text("pipe");
    return false;
  }
  floor->cpu = socket_fd(cpu_pipe[0]);
  socket_fd cpu_out(cpu_pipe[1]);
  std::fflush(stdout);
  floor->pid = ::fork();
  if (floor->pid < 0) {
    *error = errno_text("fork");
    return false;
  }
  if (floor->pid == 0) {
    floor_child(listener.fd, total, options.timeout_seconds, message_file, cpu_out.fd,
                options.floor_cpu);
  }
  listener.reset();
  cpu_out.reset();
  floor->sock = connect_to("127.0.0.1", ntohs(address.sin_port), options.timeout_seconds, error);
  return floor->sock.fd >= 0 && login(floor->sock.fd, "bench", "bench", error);
}

/// One RETR of a floor, read with the same loop as fernd's, and the floor's CPU time for it.
transfer_figures floor_measure(floor_server& floor, char* buffer, std::string* error) {
  transfer_figures figures;
  const std::int64_t start = now_ns();
  if (!send_all(floor.sock.fd, "RETR 1\r\n", error)) {
    return figures;
  }
  figures = figures_of(read_multiline(floor.sock.fd, buffer, false, error), start);
  // The floor reports its CPU time right after its last write; the socket timeout bounds the wait
  // should it fail instead.
  std::int64_t cpu_ns = 0;
  if (figures.ok && ::read(floor.cpu.fd, &cpu_ns, sizeof cpu_ns) != sizeof cpu_ns) {
    *error = "the floor process did not report its CPU time";
    figures.ok = false;
  }
  figures.cpu_ms = ns_to_ms(cpu_ns);
  return figures;
}

/// floor: the plain floor once, for --bytes.
int run_floor(const load_options& options) {
  const std::unique_ptr<char[]> buffer = std::make_unique<char[]>(load_read_size);
  std::string error;
  floor_server floor;
  transfer_figures f;
  if (floor_start(options, options.bytes, nullptr, &floor, &error)) {
    f = floor_measure(floor, buffer.get(), &error);
  }
  if (!f.ok) {
    print_failure(options, "floor_plain", error);
    return 1;
  }
  json_line line = start_json(options, "floor_plain");
  line.add("ok", true);
  add_transfer(&line, f);
  line.print();
  return 0;
}

// ---- one logged-in session ---------------------------------------------------------------------

bool quit(int fd, std::string* error) {
  return command(fd, "QUIT\r\n", error) && await_close(fd, error);
}

/// The floors of a retr run: the plain one, and the transforming one when there is a message file.
struct floor_pair {
  floor_server plain;
  floor_server transform;
  bool transforming = false;
  std::vector<transfer_figures> plain_runs;
  std::vector<transfer_figures> transform_runs;
};

/// Each floor once: appends their figures and prints a line for each. \a after is the number of
/// RETRs before them. False, with the failure printed, when a floor failed or sent other than
/// --bytes.
bool run_floors(const load_options& options, char* buffer, std::uint64_t after,
                floor_pair* floors) {
  std::string error;
  for (const bool transforming : {false, true}) {
    if (transforming && !floors->transforming) {
      break;
    }
    const char* const mode = transforming ? "floor_transform" : "floor_plain";
    const transfer_figures f =
        floor_measure(transforming ? floors->transform : floors->plain, buffer, &error);
    if (!f.ok || f.bytes != options.bytes) {
      print_failure(options, mode, f.ok ? "the floor sent other than --bytes" : error);
      return false;
    }
    json_line line = start_json(options, mode);
    line.add("ok", true);
    line.add("after", after);
    add_transfer(&line, f);
    line.print();
    (transforming ? floors->transform_runs : floors->plain_runs).push_back(f);
  }
  return true;
}

/// The mean throughput of the floors right before and right after a RETR: the machine's speed
/// drifts, and the RETR met the speed between the two.
double around(const std::vector<transfer_figures>& floors, std::uint64_t repeat) {
  return (floors[repeat - 1].mb_per_s + floors[repeat].mb_per_s) / 2;
}

/// retr: --repeat times a RETR of the message in one session; with --floors, the floors before
/// the first and after every RETR (floor, RETR, floor, RETR, ..., floor), each on a connection of
/// its own that lasts the run as the session's does, so that every RETR is set against floors
/// that met the same load.
int run_retr(const load_options& options) {
  const std::unique_ptr<char[]> buffer = std::make_unique<char[]>(load_read_size);
  std::string error;
  if (options.floors && options.bytes == 0) {
    print_failure(options, "retr", "--floors needs --bytes: the size of the whole reply");
    return 1;
  }
  floor_pair floors;
  floors.transforming = !options.message_file.empty();
  if (options.floors &&
      (!floor_start(options, options.bytes, nullptr, &floors.plain, &error) ||
       (floors.transforming && !floor_start(options, options.bytes, options.message_file.c_str(),
                                            &floors.transform, &error)))) {
    print_failure(options, "floor", error);
    return 1;
  }
  socket_fd sock = connect_to(options.host, options.port, options.timeout_seconds, &error);
  if (sock.fd < 0 || !login(sock.fd, user_of(options, 0), options.pass, &error)) {
    print_failure(options, "retr", error);
    return 1;
  }
  if (options.floors && !run_floors(options, buffer.get(), 0, &floors)) {
    return 1;
  }
  const std::string request = "RETR " + std::to_string(options.message) + "\r\n";
  for (std::uint64_t repeat = 1; repeat <= options.repeat; ++repeat) {
    const std::int64_t start = now_ns();
    if (!send_all(sock.fd, request, &error)) {
      print_failure(options, "retr", error);
      return 1;
    }
    const multiline_reply reply = read_multiline(sock.fd, buffer.get(), false, &error);
    const transfer_figures retr = figures_of(reply, start);
    if (!retr.ok) {
      print_failure(options, "retr", error);
      return 1;
    }
    if (options.floors && retr.bytes != options.bytes) {
      print_failure(options, "retr", "the RETR sent other than --bytes");
      return 1;
    }
    if (options.floors && !run_floors(options, buffer.get(), repeat, &floors)) {
      return 1;
    }
    json_line line = start_json(options, "retr");
    line.add("ok", true);
    line.add("repeat", repeat);
    line.add("message", options.message);
    add_transfer(&line, retr);
    if (options.floors) {
      const double floor = around(floors.plain_runs, repeat);
      line.add("plain_floor_mb_per_s", floor);
      line.add("ratio_plain", floor > 0 ? retr.mb_per_s / floor : 0.0);
    }
    if (floors.transforming) {
      const double floor = around(floors.transform_runs, repeat);
      line.add("transform_floor_mb_per_s", floor);
      line.add("ratio_transform", floor > 0 ? retr.mb_per_s / floor : 0.0);
    }
    line.print();
  }
  hold_if_asked(options);
  if (!quit(sock.fd, &error)) {
    print_failure(options, "retr", error);
    return 1;
  }
  return 0;
}

/// uidl and list: the time from connect to the end of the listing.
int run_listing(const load_options& options) {
  const std::string& mode = options.mode;
  const std::unique_ptr<char[]> buffer = std::make_unique<char[]>(load_read_size);
  std::string error;
  const std::int64_t start = now_ns();
  socket_fd sock = connect_to(options.host, options.port, options.timeout_seconds, &error);
  if (sock.fd < 0 || !login(sock.fd, user_of(options, 0), options.pass, &error)) {
    print_failure(options, mode.c_str(), error);
    return 1;
  }
  const std::int64_t logged_in = now_ns();
  const char* request = mode == "uidl" ? "UIDL\r\n" : "LIST\r\n";
  if (!send_all(sock.fd, request, &error)) {
    print_failure(options, mode.c_str(), error);
    return 1;
  }
  const multiline_reply reply = read_multiline(sock.fd, buffer.get(), true, &error);
  if (!reply.ok) {
    print_failure(options, mode.c_str(), error);
    return 1;
  }
  json_line line = start_json(options, mode.c_str());
  line.add("ok", true);
  // The status line and the terminator are lines too; the rest is one line per message.
  line.add("messages", reply.lines >= 2 ? reply.lines - 2 : 0);
  line.add("bytes", reply.bytes);
  line.add("reads", reply.reads);
  line.add("login_ms", ns_to_ms(logged_in - start));
  line.add("command_ms", ns_to_ms(reply.last_read_ns - logged_in));
  line.add("total_ms", ns_to_ms(reply.last_read_ns - start));
  line.print();
  hold_if_asked(options);
  if (!quit(sock.fd, &error)) {
    print_failure(options, mode.c_str(), error);
    return 1;
  }
  return 0;
}

/// login: greeting, USER and PASS; with --hold, an idle logged-in session.
int run_login(const load_options& options) {
  std::string error;
  const std::int64_t start = now_ns();
  socket_fd sock = connect_to(options.host, options.port, options.timeout_seconds, &error);
  if (sock.fd < 0 || !login(sock.fd, user_of(options, 0), options.pass, &error)) {
    print_failure(options, "login", error);
    return 1;
  }
  json_line line = start_json(options, "login");
  line.add("ok", true);
  line.add("login_ms", ns_to_ms(now_ns() - start));
  line.print();
  hold_if_asked(options);
  if (!quit(sock.fd, &error)) {
    print_failure(options, "login", error);
    return 1;
  }
  return 0;
}

// ---- command line ------------------------------------------------------------------------------

constexpr const char* usage_text =
    "usage: fernd_pop3_load MODE [--option=value...]\n"
    "modes: sessions retr uidl list login floor\n"
    "  --host=ADDR (127.0.0.1)  --port=N  --user=NAME  --pass=TEXT  --accounts=K\n"
    "  --concurrency=C  --seconds=D  --sessions=N      (sessions)\n"
    "  --message=N  --repeat=K  --floors  --bytes=N  --message-file=PATH  --floor-cpu=N  (retr)\n"
    "  --bytes=N                                       (floor)\n"
    "  --hold  --hold-seconds=S  --timeout=S  --label=TEXT\n";

bool parse_number(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(value >= 0)) {
    return false;
  }
  *out = value;
  return true;
}

bool parse_count(const char* text, std::uint64_t* out) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') {
    return false;
  }
  *out = value;
  return true;
}

bool parse_options(int argc, char** argv, load_options* options) {
  if (argc < 2) {
    return false;
  }
  options->mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const char* value = eq == std::string_view::npos ? "" : argv[i] + eq + 1;
    std::uint64_t count = 0;
    bool ok = true;
    if (name == "--host") {
      options->host = value;
    } else if (name == "--port") {
      ok = parse_count(value, &count) && count > 0 && count < 65536;
      options->port = static_cast<int>(count);
    } else if (name == "--user") {
      options->user = value;
    } else if (name == "--pass") {
      options->pass = value;
    } else if (name == "--accounts") {
      ok = parse_count(value, &count) && count <= 1000;
      options->accounts = static_cast<int>(count);
    } else if (name == "--concurrency") {
      ok = parse_count(value, &count) && count >= 1 && count <= 256;
      options->concurrency = static_cast<int>(count);
    } else if (name == "--seconds") {
      ok = parse_number(value, &options->seconds) && options->seconds <= 3600;
    } else if (name == "--sessions") {
      ok = parse_count(value, &options->sessions) && options->sessions <= session_count_limit;
    } else if (name == "--message") {
      ok = parse_count(value, &options->message) && options->message > 0;
    } else if (name == "--repeat") {
      ok = parse_count(value, &options->repeat) && options->repeat >= 1 &&
           options->repeat <= repeat_limit;
    } else if (name == "--floors") {
      options->floors = true;
    } else if (name == "--message-file") {
      options->message_file = value;
    } else if (name == "--bytes") {
      ok = parse_count(value, &options->bytes);
    } else if (name == "--hold") {
      options->hold = true;
    } else if (name == "--hold-seconds") {
      ok = parse_number(value, &options->hold_seconds);
    } else if (name == "--timeout") {
      ok = parse_number(value, &options->timeout_seconds) && options->timeout_seconds > 0;
    } else if (name == "--floor-cpu") {
      ok = parse_count(value, &count) && count < CPU_SETSIZE;
      options->floor_cpu = static_cast<int>(count);
    } else if (name == "--label") {
      options->label = value;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "fernd_pop3_load: bad option %s\n", argv[i]);
      return false;
    }
  }
  const bool needs_server = options->mode != "floor";
  if (needs_server && options->port == 0) {
    std::fprintf(stderr, "fernd_pop3_load: --port is required\n");
    return false;
  }
  if (options->mode == "sessions" && options->seconds == 0 && options->sessions == 0) {
    std::fprintf(stderr, "fernd_pop3_load: sessions needs --seconds or --sessions\n");
    return false;
  }
  return true;
}

int load_main(int argc, char** argv) {
  load_options options;
  if (!parse_options(argc, argv, &options)) {
    std::fputs(usage_text, stderr);
    return 2;
  }
  const std::string& mode = options.mode;
  if (mode == "sessions") {
    return run_sessions(options);
  }
  if (mode == "retr") {
    return run_retr(options);
  }
  if (mode == "uidl" || mode == "list") {
    return run_listing(options);
  }
  if (mode == "login") {
    return run_login(options);
  }
  if (mode == "floor") {
    return run_floor(options);
  }
  std::fputs(usage_text, stderr);
  return 2;
}

}  // namespace
}  // namespace fernd

int main(int argc, char** argv) {
  return fernd::load_main(argc, argv);
}
