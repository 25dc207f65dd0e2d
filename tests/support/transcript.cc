#include "support/transcript.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "common/posix_handle.h"
#include "pop3/pop3_session.h"

namespace fernd {
namespace {

// Far beyond any transcript here; only a hung session ever reaches it.
constexpr std::chrono::seconds client_deadline{60};

struct pipe_pair {
  unique_fd read_end;
  unique_fd write_end;
};

pipe_pair make_pipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(0, ::pipe2(fds, O_CLOEXEC));
  return {unique_fd(fds[0]), unique_fd(fds[1])};
}

// The client side of a transcript: a poll loop over its end of each pipe, both non-blocking.
struct client_run {
  const transcript_client& script;
  unique_fd to_session;    // write end of the session's input
  unique_fd from_session;  // read end of the session's output
  std::string output;

  // Sends \a bytes while reading output, until they are all sent and, when \a limit is set, the
  // output holds that many bytes. Returns false when the deadline passed.
  bool exchange(std::string_view bytes, std::optional<std::size_t> limit,
                std::chrono::steady_clock::time_point deadline) {
    std::size_t sent = 0;
    bool output_open = from_session.fd >= 0;
    for (;;) {
      const bool want_write = sent < bytes.size() && to_session.fd >= 0;
      const bool want_read = output_open && (!limit.has_value() || output.size() < *limit);
      if (!want_write && (!want_read || !limit.has_value())) {
        return true;  // without a limit, reading to the end is the caller's business
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      pollfd fds[2] = {{want_write ? to_session.fd : -1, POLLOUT, 0},
                       {want_read ? from_session.fd : -1, POLLIN, 0}};
      if (::poll(fds, 2, 100) < 0 && errno != EINTR) {
        return false;
      }
      if (want_write && fds[0].revents != 0) {
        const std::size_t size = script.feed == client_feed::byte_by_byte ? 1 : bytes.size() - sent;
        const ssize_t n = ::write(to_session.fd, bytes.data() + sent, size);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          to_session.reset();  // the session closed its input: nothing more can be sent
        }
      }
      if (want_read && fds[1].revents != 0) {
        if (!read_some(limit)) {
          output_open = false;
        }
      }
    }
  }

  // Reads what is there; returns false at the end of the output.
  bool read_some(std::optional<std::size_t> limit) {
    char buffer[65536];
    std::size_t size = sizeof buffer;
    if (limit.has_value() && *limit - output.size() < size) {
      size = *limit - output.size();
    }
    const ssize_t n = ::read(from_session.fd, buffer, size);
    if (n > 0) {
      output.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }

  void read_to_end(std::chrono::steady_clock::time_point deadline) {
    while (from_session.fd >= 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd fd = {from_session.fd, POLLIN, 0};
      if (::poll(&fd, 1, 100) > 0 && !read_some(std::nullopt)) {
        return;
      }
    }
  }

  void run() {
    const auto deadline = std::chrono::steady_clock::now() + client_deadline;
    if (exchange(script.first, script.pause_at, deadline) && script.pause_at.has_value()) {
      if (script.on_pause) {
        script.on_pause();
      }
      if (script.close_output) {
        from_session.reset();
      }
      (void)exchange(script.rest, std::nullopt, deadline);
    }
    to_session.reset();
    read_to_end(deadline);
    from_session.reset();
  }
};

}  // namespace

transcript_result transcript_run(const transcript_client& client, session_log* log,
                                 const account_list& accounts, bool auth_delay,
                                 pop3_options options) {
  (void)std::signal(SIGPIPE, SIG_IGN);
  pipe_pair input = make_pipe();
  pipe_pair output = make_pipe();
  EXPECT_EQ(0, ::fcntl(input.write_end.fd, F_SETFL, O_NONBLOCK));
  EXPECT_EQ(0, ::fcntl(output.read_end.fd, F_SETFL, O_NONBLOCK));

  client_run peer{client, std::move(input.write_end), std::move(output.read_end), {}};
  std::thread peer_thread([&peer] { peer.run(); });

  transcript_result result;
  result.accounts = accounts;
  {
    connection session_client(input.read_end.fd, output.write_end.fd);
    result.status = pop3_session(log, session_client, result.accounts, auth_delay, options);
  }
  // Closing the session's ends lets the client see the end of the output.
  input.read_end.reset();
  output.write_end.reset();
  peer_thread.join();
  result.output = std::move(peer.output);
  return result;
}

testing::AssertionResult same_bytes(std::string_view expected, std::string_view actual) {
  if (expected == actual) {
    return testing::AssertionSuccess();
  }
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
    ++at;
  }
  const auto around = [at](std::string_view bytes) {
    const std::size_t from = at < 20 ? 0 : at - 20;
    return testing::PrintToString(std::string(bytes.substr(from, 60)));
  };
  return testing::AssertionFailure()
         << "expected " << expected.size() << " bytes, got " << actual.size()
         << "; first difference at offset " << at << "\n  expected: " << around(expected)
         << "\n  actual:   " << around(actual);
}

}  // namespace fernd
