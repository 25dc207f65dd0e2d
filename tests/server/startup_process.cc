#include "server/startup_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "support/child_process.h"
#include "support/fd_reading.h"
#include "support/pseudo_terminal.h"

extern char** environ;

namespace fernd {
namespace {

using steady = std::chrono::steady_clock;

/// The argument vector and environment for execve, prepared before the fork so that the child
/// calls nothing but async-signal-safe functions.
struct exec_image {
  std::vector<std::string> strings;
  std::vector<char*> argv;
  std::vector<char*> envp;

  exec_image(const std::vector<std::string>& args, const fernd_options& options) {
    strings.push_back(options.argv0);
    strings.insert(strings.end(), args.begin(), args.end());
    for (std::string& each : strings) {
      argv.push_back(each.data());
    }
    argv.push_back(nullptr);
    for (char** entry = environ; *entry != nullptr; ++entry) {
      // With POSIXLY_CORRECT set in the test's environment getopt_long would stop at the first
      // non-option, and the command lines would mean something else.
      if (std::strncmp(*entry, "POSIXLY_CORRECT=", 16) != 0) {
        envp.push_back(*entry);
      }
    }
    envp.push_back(nullptr);
  }
};

/// In the child: everything after the fork up to the exec. Never returns.
[[noreturn]] void exec_child(const exec_image& image, const fernd_options& options) {
  // The test process ignores SIGPIPE, and an ignored signal would survive the exec.
  (void)std::signal(SIGPIPE, SIG_DFL);
  if (options.address_space != 0) {
    const rlimit limit{options.address_space, options.address_space};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      ::_exit(126);
    }
  }
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
    ::_exit(126);
  }
  ::execve(FERND_BINARY, image.argv.data(), image.envp.data());
  ::_exit(127);
}

struct pipe_pair {
  unique_fd read_end;
  unique_fd write_end;
};

pipe_pair make_pipe() {
  std::array<int, 2> fds{-1, -1};
  // Close-on-exec: a descriptor of one test's pipe must not keep another test's child alive.
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
  }
  return {unique_fd(fds[0]), unique_fd(fds[1])};
}

void ignore_sigpipe_here() {
  // A child that exits before it read all of its input must fail our write, not kill the test.
  (void)std::signal(SIGPIPE, SIG_IGN);
}

/// Writes as much of the pending input as the pipe takes now; closes the pipe when all is written.
void feed_input(fernd_process* process) {
  while (!process->pending_input.empty()) {
    const ssize_t written =
        ::write(process->input.fd, process->pending_input.data(), process->pending_input.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN) {
        return;
      }
      process->pending_input.clear();  // the process stopped reading: it has all it will take
      break;
    }
    process->pending_input.erase(0, static_cast<std::size_t>(written));
  }
  // On a socket, closing our descriptor of it would not end the stream while the output side
  // stays open; a pipe fails this harmlessly.
  (void)::shutdown(process->input.fd, SHUT_WR);
  process->input.reset();
}

/// Appends what \a fd has to \a text; closes \a fd at its end.
void drain(unique_fd* fd, std::string* text) {
  std::array<char, 4096> buffer{};
  const ssize_t got = ::read(fd->fd, buffer.data(), buffer.size());
  if (got > 0) {
    text->append(buffer.data(), static_cast<std::size_t>(got));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    // End of file; a terminal whose other side has gone reports EIO instead.
    fd->reset();
  }
}

int remaining_ms(steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

/// Reaps \a child by the deadline, killing it if it is still running then. Returns the exit status
/// or -1, and sets \a timed_out when it had to kill.
int reap(child_process* child, steady::time_point deadline, bool* timed_out) {
  return child_exit_status(
      child_wait(child, std::chrono::milliseconds(remaining_ms(deadline)), timed_out));
}

}  // namespace

fernd_process fernd_start(const std::vector<std::string>& args, const fernd_options& options) {
  ignore_sigpipe_here();
  const exec_image image(args, options);
  pipe_pair in;
  pipe_pair out;
  if (options.socket_stdio) {
    std::array<int, 2> ends{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
      ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    }
    // The child's end serves as both its input and its output.
    in.read_end.reset(ends[1]);
    out.write_end.reset(::fcntl(ends[1], F_DUPFD_CLOEXEC, 0));
    out.read_end.reset(ends[0]);
    in.write_end.reset(::fcntl(ends[0], F_DUPFD_CLOEXEC, 0));
  } else {
    in = make_pipe();
    out = make_pipe();
  }
  pipe_pair err = make_pipe();
  fernd_process process;
  process.started = steady::now();
  process.child = child_start([&]() -> int {
    // No controlling terminal: a prompt must never wait for the terminal of whoever runs the tests.
    (void)::setsid();
    if (::dup2(in.read_end.fd, STDIN_FILENO) < 0 || ::dup2(out.write_end.fd, STDOUT_FILENO) < 0 ||
        ::dup2(err.write_end.fd, STDERR_FILENO) < 0) {
      return 126;
    }
    exec_child(image, options);
  });
  if (process.child.pid < 0) {
    return process;
  }
  process.input = std::move(in.write_end);
  process.output = std::move(out.read_end);
  process.error = std::move(err.read_end);
  (void)::fcntl(process.input.fd, F_SETFL, O_NONBLOCK);
  process.pending_input = options.input;
  feed_input(&process);
  return process;
}

fernd_result fernd_finish(fernd_process* process) {
  fernd_result result;
  const steady::time_point deadline = process->started + fernd_process_limit;
  while (process->input.fd >= 0 || process->output.fd >= 0 || process->error.fd >= 0) {
    std::array<pollfd, 3> fds{{{process->input.fd, POLLOUT, 0},
                               {process->output.fd, POLLIN, 0},
                               {process->error.fd, POLLIN, 0}}};
    const int ready = ::poll(fds.data(), fds.size(), remaining_ms(deadline));
    if (ready == 0) {
      break;  // out of time; reap kills it
    }
    if (ready < 0) {
      continue;  // EINTR; the deadline still bounds the loop
    }
    if (fds[0].revents != 0) {
      feed_input(process);
    }
    if (fds[1].revents != 0) {
      drain(&process->output, &result.out);
    }
    if (fds[2].revents != 0) {
      drain(&process->error, &result.err);
    }
  }
  process->input.reset();
  result.status = reap(&process->child, deadline, &result.timed_out);
  result.elapsed = steady::now() - process->started;
  process->output.reset();
  process->error.reset();
  return result;
}

fernd_result fernd_run(const std::vector<std::string>& args, const fernd_options& options) {
  fernd_process process = fernd_start(args, options);
  return fernd_finish(&process);
}

fernd_terminal fernd_start_on_terminal(const std::vector<std::string>& args, bool pipes,
                                       const fernd_options& options) {
  ignore_sigpipe_here();
  const exec_image image(args, options);
  pipe_pair in = make_pipe();
  pipe_pair out = make_pipe();
  pipe_pair err = make_pipe();
  fernd_terminal terminal;
  terminal.process.started = steady::now();
  terminal.process.child = child_process(fork_on_terminal(&terminal.master));
  if (terminal.process.child.pid == 0) {
    if (pipes &&
        (::dup2(in.read_end.fd, STDIN_FILENO) < 0 || ::dup2(out.write_end.fd, STDOUT_FILENO) < 0)) {
      ::_exit(126);
    }
    exec_child(image, options);
  }
  if (terminal.process.child.pid < 0) {
    return terminal;
  }
  if (pipes) {
    terminal.process.input = std::move(in.write_end);
    terminal.process.output = std::move(out.read_end);
    (void)::fcntl(terminal.process.input.fd, F_SETFL, O_NONBLOCK);
    terminal.process.pending_input = options.input;
    feed_input(&terminal.process);
  }
  return terminal;
}

bool fernd_terminal_await(fernd_terminal* terminal, std::string_view expected, std::string* shown) {
  return read_until(
      terminal->master.fd, shown, terminal->process.started + fernd_process_limit,
      [expected](const std::string& text) { return text.find(expected) != std::string::npos; });
}

void fernd_terminal_type(fernd_terminal* terminal, std::string_view text) {
  ASSERT_EQ(static_cast<ssize_t>(text.size()),
            ::write(terminal->master.fd, text.data(), text.size()));
}

int fernd_terminal_finish(fernd_terminal* terminal, std::string* shown) {
  const steady::time_point deadline = terminal->process.started + fernd_process_limit;
  (void)read_until(terminal->master.fd, shown, deadline, [](const std::string&) { return false; });
  terminal->master.reset();
  bool timed_out = false;
  const int status = reap(&terminal->process.child, deadline, &timed_out);
  EXPECT_FALSE(timed_out);
  return status;
}

}  // namespace fernd
