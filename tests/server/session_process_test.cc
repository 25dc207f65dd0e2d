#include "server/session_process.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/exit_status.h"
#include "common/posix_handle.h"
#include "log/session_log.h"
#include "pop3/pop3_session.h"
#include "server/session_serve.h"
#include "support/child_process.h"
#include "support/fd_reading.h"
#include "support/log_lines.h"
#include "support/process_watch.h"
#include "support/tcp_pair.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

using std::chrono::milliseconds;

// session_serve over a real TCP connection on 127.0.0.1, in a child process as in the listener,
// with a short idle limit instead of ten minutes.

/// Long enough to end a session that waits for its client quickly, short enough never to
/// end one whose client is busy on a loaded machine.
constexpr milliseconds short_idle_limit(200);
/// The bound of every wait for a session to end: far above short_idle_limit.
constexpr milliseconds session_end_limit(20'000);

struct SessionProcessServeTest : testing::Test {
  temp_maildir maildir;
  std::string log_path = maildir.path + "/session.log";
  account_list accounts{{"alice", "secret", maildir.path}};
  child_process session;

  /// Serves \a connection in a child process, as a session process does; the child closes
  /// \a client, its copy of the client's end. With \a descriptors_exhausted the child can open
  /// no further descriptor once its log is open.
  void start(unique_fd* connection, const unique_fd& client, milliseconds idle_limit,
             bool descriptors_exhausted = false, milliseconds login_limit = session_login_limit) {
    session = child_start([&] {
      (void)::close(client.fd);
      // As a session process finds it when the listener was started from a shell.
      (void)std::signal(SIGPIPE, SIG_DFL);
      session_log log;
      log_open(false, log_path.c_str(), &log);
      if (descriptors_exhausted) {
        // dup gives the lowest free descriptor; with the limit there, there is none left.
        const int lowest_free = ::dup(0);
        (void)::close(lowest_free);
        const rlimit limit{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
      }
      const session_result result = session_serve(&log, connection->fd, connection->fd, accounts,
                                                  false, idle_limit, pop3_options{}, login_limit);
      connection->reset();
      log_close(&log);
      return session_exit_status(result, session_mode::session_process);
    });
    ASSERT_GT(session.pid, 0);
    connection->reset();
  }

  /// The session's exit status; fails the test when it ended otherwise.
  int finish() {
    const int status = child_wait(&session, session_end_limit);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return child_exit_status(status);
  }

  /// What the session logged.
  log_lines logged() const { return log_lines_read(log_path, session.pid); }
};

TEST_F(SessionProcessServeTest, ClientThatDoesNotLogInIsLetGoAtTheDeadline) {
  // The idle limit restarts with every byte, a write's with every byte the client takes; the
  // login deadline does not. A client that trickles a byte now and then is let go once the
  // deadline has passed, whatever it sends; so is one that floods the session with empty lines
  // and never reads a reply, which leaves the session blocked in a write. Either way the log says
  // why, and not that the idle limit ended it.
  constexpr milliseconds login_limit(500);
  constexpr milliseconds trickle_step(20);
  constexpr int flood_lines = 100'000;
  constexpr int small_buffer = 4096;
  for (const bool flood : {false, true}) {
    SCOPED_TRACE(flood ? "flood, no reading" : "trickle");
    write_file(log_path, "");
    tcp_pair pair;
    ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair, flood ? small_buffer : 0));
    if (flood) {
      ASSERT_EQ(0, ::setsockopt(pair.server.fd, SOL_SOCKET, SO_SNDBUF, &small_buffer,
                                sizeof small_buffer));
    }
    ASSERT_NO_FATAL_FAILURE(
        start(&pair.server, pair.client, short_idle_limit * 50, false, login_limit));
    std::atomic<bool> stop{false};
    std::thread client([&] {
      if (flood) {
        // Every line at once, as far as the session takes them; bounded by the lines.
        std::string lines;
        for (int i = 0; i < flood_lines; ++i) {
          lines += "\r\n";
        }
        std::size_t sent = 0;
        while (sent < lines.size() && !stop) {
          pollfd wanted{pair.client.fd, POLLOUT, 0};
          if (::poll(&wanted, 1, 50) <= 0) {
            continue;
          }
          const ssize_t step = ::send(pair.client.fd, lines.data() + sent, lines.size() - sent,
                                      MSG_NOSIGNAL | MSG_DONTWAIT);
          if (step <= 0 && errno != EAGAIN) {
            break;
          }
          sent += step > 0 ? static_cast<std::size_t>(step) : 0;
        }
        return;
      }
      const std::string bytes = "NOOP\r\n";
      // Bounded: far more bytes than the deadline lets through, unless the session ends first.
      for (int i = 0; i < 1000 && !stop; ++i) {
        if (::send(pair.client.fd, &bytes[i % bytes.size()], 1, MSG_NOSIGNAL) != 1) {
          break;
        }
        std::this_thread::sleep_for(trickle_step);
      }
    });
    if (!flood) {
      const std::string seen = read_to_end(pair.client.fd, session_end_limit);
      EXPECT_EQ(0u, seen.rfind("+OK fernd ready.\r\n-ERR command not understood\r\n", 0)) << seen;
    }
    const int status = finish();
    stop = true;
    client.join();
    EXPECT_EQ(exit_status_session_failed, status);
    const log_lines log = logged();
    EXPECT_TRUE(log_lines_has(log, {"error: no login in time, session aborted"}))
        << testing::PrintToString(log);
    EXPECT_FALSE(log_lines_has(log, logged_input_error));
    EXPECT_FALSE(log_lines_has(log, {"error: output error, session aborted"}));
  }
}

TEST_F(SessionProcessServeTest, LoginLiftsTheDeadline) {
  constexpr milliseconds login_limit(300);
  maildir.add("m1", "text\n");
  tcp_pair pair;
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
  ASSERT_NO_FATAL_FAILURE(
      start(&pair.server, pair.client, short_idle_limit * 50, false, login_limit));
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "USER alice\r\nPASS secret\r\n"));
  EXPECT_EQ("+OK fernd ready.\r\n+OK\r\n+OK\r\n",
            read_exactly(pair.client.fd, 28, session_end_limit));
  // Silent for longer than the login deadline, well within the idle limit.
  std::this_thread::sleep_for(login_limit * 2);
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "STAT\r\nQUIT\r\n"));
  EXPECT_EQ("+OK 1 5\r\n+OK\r\n", read_to_end(pair.client.fd, session_end_limit));
  EXPECT_EQ(exit_status_ok, finish());
}

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
    EXPECT_EQ(exit_status_ok, finish());
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
    EXPECT_EQ(exit_status_session_failed, finish());
    const log_lines log = logged();
    EXPECT_TRUE(log_lines_has(log, logged_input_error));
    EXPECT_FALSE(log_lines_has(log, logged_output_error));
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
  EXPECT_EQ(exit_status_session_failed, finish());

  const log_lines log = logged();
  EXPECT_TRUE(log_lines_has(log, logged_cannot_send(maildir.new_path("big"))));
  EXPECT_TRUE(log_lines_has(log, logged_output_error));
  EXPECT_FALSE(log_lines_has(log, logged_transaction_end));
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
  ASSERT_TRUE(wait_until([&] { return process_in_system_call(session.pid, SYS_read); }));
  ASSERT_EQ(0, ::kill(session.pid, SIGSTOP));
  ASSERT_TRUE(wait_until([&] { return process_state(session.pid) == 'T'; }));
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "RETR 1\r\n"));
  const linger reset{1, 0};
  ASSERT_EQ(0, ::setsockopt(pair.client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  pair.client.reset();
  pollfd gone{observer.fd, 0, 0};  // POLLHUP and POLLERR are always reported
  ASSERT_EQ(1, ::poll(&gone, 1, static_cast<int>(session_end_limit.count())));
  ASSERT_EQ(0, ::kill(session.pid, SIGCONT));

  EXPECT_EQ(exit_status_session_failed, finish());  // an exit, not death by SIGPIPE
  EXPECT_EQ(logged_login(2) + logged_cannot_send(maildir.new_path("m1")) + logged_output_error,
            logged());
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
  ASSERT_TRUE(wait_until([&] { return process_in_system_call(session.pid, SYS_read); }));
  ASSERT_NO_FATAL_FAILURE(stop_and_continue(session.pid));
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "STAT\r\n"));
  const std::string stat = "+OK 1 " + std::to_string(message.size()) + "\r\n";
  ASSERT_EQ(stat, read_exactly(pair.client.fd, stat.size(), session_end_limit));

  // Sending, to a client that has stopped reading: stopped and continued twice on the way.
  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "RETR 1\r\n"));
  std::string received = read_exactly(pair.client.fd, 5 + 100'000, session_end_limit);
  for (int pause = 0; pause < 2; ++pause) {
    ASSERT_TRUE(wait_until([&] { return process_in_system_call(session.pid, SYS_write); }));
    ASSERT_NO_FATAL_FAILURE(stop_and_continue(session.pid));
    received += read_exactly(pair.client.fd, 1'000'000, session_end_limit);
  }
  const std::string rest = "+OK\r\n" + wire + ".\r\n";
  // The bound covers a slow sanitizer build on a busy machine: only a hang reaches it.
  received += read_exactly(pair.client.fd, rest.size() - received.size(), session_end_limit * 3);
  EXPECT_TRUE(received == rest) << received.size() << " of " << rest.size() << " bytes";

  ASSERT_NO_FATAL_FAILURE(send_all(pair.client.fd, "QUIT\r\n"));
  const std::string end = read_to_end(pair.client.fd, session_end_limit);
  EXPECT_TRUE(end == "+OK\r\n") << end.size() << " bytes after the message";
  EXPECT_EQ(exit_status_ok, finish());
  EXPECT_FALSE(log_lines_has(logged(), logged_input_error));
}

TEST_F(SessionProcessServeTest, ServesWithEveryDescriptorInUse) {
  // The session needs no descriptor beyond the connection's to talk to its client: one that the
  // listener could just accept is greeted and served, even though no mailbox can be opened.
  maildir.add("m1", "text\n");
  tcp_pair pair;
  ASSERT_NO_FATAL_FAILURE(tcp_pair_open(&pair));
  ASSERT_NO_FATAL_FAILURE(
      send_all(pair.client.fd, "CAPA\r\nUSER alice\r\nPASS secret\r\nQUIT\r\n"));
  ASSERT_NO_FATAL_FAILURE(start(&pair.server, pair.client, short_idle_limit, true));
  EXPECT_EQ(
      "+OK fernd ready.\r\n+OK\r\nUSER\r\nUIDL\r\n.\r\n+OK\r\n-ERR cannot access "
      "mailbox\r\n+OK\r\n",
      read_to_end(pair.client.fd, session_end_limit));
  EXPECT_EQ(exit_status_ok, finish());
  const log_lines log = logged();
  EXPECT_TRUE(log_lines_has(log, logged_session_start));
  EXPECT_TRUE(log_lines_has(log, logged_mailbox_refused("alice")));
  EXPECT_TRUE(maildir.has("m1"));
}

}  // namespace
}  // namespace fernd
