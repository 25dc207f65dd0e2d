// Passwords at start-up: the first line of a passwordeval command's output, or the terminal prompt
// (after the netrc files, for callers that ask for them).
#include "credentials/password.h"

#include <fcntl.h>
#include <libintl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/fd_rw.h"
#include "common/must_alloc.h"
#include "common/posix_handle.h"
#include "common/secret.h"
#include "credentials/netrc.h"

namespace fernd {

namespace {

// The shell that runs a passwordeval command, as popen would run it.
constexpr const char* eval_shell = "/bin/sh";

// Each read of the command's output takes at most this much; the room is ours, and wiped.
constexpr std::size_t eval_read_room = BUFSIZ;

// The first block of the line: room for any password typed by hand, beyond the string object's
// own small room.
constexpr std::size_t eval_line_room = 512;

// Resizes \a buffer to \a size bytes as must_resize does. When the string must move to a larger
// block, it moves itself, so that the block given back is wiped first: it holds the beginning of
// the password. The room doubles, so that a long line costs few moves.
void grow_wiped(std::string* buffer, std::size_t size) {
  if (size > buffer->capacity()) {
    std::string grown;
    must_resize(&grown, std::max(size, 2 * buffer->capacity()));
    std::memcpy(grown.data(), buffer->data(), buffer->size());
    grown.resize(buffer->size());  // keeps the room
    secret_wipe(buffer->data(), buffer->size());
    buffer->swap(grown);
  }
  must_resize(buffer, size);
}

// The terminal of the process: never standard input, which may be a script's pipe, /dev/null or,
// under inetd, the client's connection.
constexpr const char* terminal_path = "/dev/tty";

// Room for the first bytes of a typed password; a longer one grows it.
constexpr std::size_t typed_room = 128;

// Shows \a prompt on the terminal and reads one line there with echo off. None when the process
// has no terminal, or input ends (Ctrl-D) before the line does; then \a why, when given, says
// which.
std::optional<std::string> password_prompt(const std::string& prompt, password_missing* why) {
  unique_fd tty;
  do {
    tty.reset(::open(terminal_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  } while (tty.fd < 0 && errno == EINTR);
  if (tty.fd < 0) {
    if (why != nullptr) {
      *why = password_missing::no_terminal;
    }
    return std::nullopt;
  }
  // Echo off while the password is typed, and no signal from the keyboard meanwhile: an
  // interrupt would leave the terminal without echo.
  termios saved{};
  const bool is_terminal = ::tcgetattr(tty.fd, &saved) == 0;
  if (is_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ISIG);
    (void)::tcsetattr(tty.fd, TCSAFLUSH, &quiet);
  }
  (void)fd_write_all(tty.fd, prompt.data(), prompt.size());
  std::string typed;
  grow_wiped(&typed, typed_room);
  std::size_t length = 0;
  bool line_complete = false;
  for (;;) {
    char byte = 0;
    if (fd_read(tty.fd, &byte, 1) != 1) {
      break;  // end of input or an error: no line, no password
    }
    if (byte == '\n') {
      line_complete = true;
      break;
    }
    if (length == typed.size()) {
      grow_wiped(&typed, 2 * typed.size());
    }
    typed[length++] = byte;
  }
  if (is_terminal) {
    (void)::tcsetattr(tty.fd, TCSAFLUSH, &saved);
  }
  // The line end that was typed was not shown.
  (void)fd_write_all(tty.fd, "\n", 1);
  if (!line_complete) {
    secret_wipe(typed.data(), typed.size());
    if (why != nullptr) {
      *why = password_missing::end_of_input;
    }
    return std::nullopt;
  }
  secret_wipe(typed.data() + length, typed.size() - length);
  typed.resize(length);
  return typed;
}

/// The file actions of one spawn, destroyed on every path.
struct spawn_actions {
  posix_spawn_file_actions_t actions{};
  int error = 0;  ///< what init reported; the actions exist only when it is 0

  spawn_actions() : error(::posix_spawn_file_actions_init(&actions)) {}
  spawn_actions(const spawn_actions&) = delete;
  spawn_actions& operator=(const spawn_actions&) = delete;
  ~spawn_actions() {
    if (error == 0) {
      (void)::posix_spawn_file_actions_destroy(&actions);
    }
  }
};

/// Starts \a command through the shell with its standard output on \a output_fd, its standard
/// input on /dev/null and its standard error on \a error_fd (when it is not negative). Returns 0
/// with the process id in \a pid, or the error number.
int eval_spawn(const char* command, int output_fd, int error_fd, pid_t* pid) {
  spawn_actions spawn;
  int code = spawn.error;
  if (code == 0) {
    code = ::posix_spawn_file_actions_adddup2(&spawn.actions, output_fd, STDOUT_FILENO);
  }
  if (code == 0) {
    // Never the client's bytes under inetd, nor the terminal: the password is the command's
    // output, and what it might read has no business there.
    code =
        ::posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (code == 0 && error_fd >= 0) {
    code = ::posix_spawn_file_actions_adddup2(&spawn.actions, error_fd, STDERR_FILENO);
  }
  if (code != 0) {
    return code;
  }
  // posix_spawn takes the arguments as non-const, as execve does, and changes none of them.
  char shell_name[] = "sh";
  char shell_option[] = "-c";
  char* arguments[] = {shell_name, shell_option, const_cast<char*>(command), nullptr};
  return ::posix_spawn(pid, eval_shell, &spawn.actions, nullptr, arguments, environ);
}

/// Waits for the command's process, going on after EINTR. Returns its wait status, or -1 when it
/// cannot be had.
int eval_reap(pid_t pid) {
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) {
      return status;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

/// How a command that failed ended, for the message that says it gave no output: empty when it
/// exited with status 0, or its status is not known.
std::string eval_ending(int status) {
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    return must_asprintf(": it exited with status %d", WEXITSTATUS(status));
  }
  if (status >= 0 && WIFSIGNALED(status)) {
    return must_asprintf(": it was ended by signal %d (%s)", WTERMSIG(status),
                         ::strsignal(WTERMSIG(status)));
  }
  return {};
}

}  // namespace

password_result password_eval(const char* command, int error_fd) {
  int ends[2] = {-1, -1};
  errno = 0;
  // Close-on-exec, so that no command started later inherits this pipe; the spawned command gets
  // its write end as standard output, which the duplication leaves open across its exec.
  int code = 0;
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    code = errno;
  }
  unique_fd output(code == 0 ? ends[0] : -1);
  pid_t pid = -1;
  if (code == 0) {
    const unique_fd command_output(ends[1]);
    code = eval_spawn(command, command_output.fd, error_fd, &pid);
  }
  if (code != 0) {
    // The command cannot run: no pipe, no process, no shell.
    errno = code;
    return {std::nullopt,
            must_asprintf(gettext("cannot evaluate '%s': %s"), command, std::strerror(code))};
  }

  // The first line of the output, read in blocks into room of ours and gathered in one buffer
  // that grows as needed. Every block that holds the password is wiped before it is given back.
  std::array<char, eval_read_room> room;  // NOLINT: filled by read before it is looked at
  // The line starts in a block of its own: a short one kept inside the string object would be
  // copied, not handed over, when the password is returned, and leave a copy behind.
  std::string buffer;
  grow_wiped(&buffer, eval_line_room);
  std::size_t length = 0;
  bool line_complete = false;
  bool read_failed = false;
  while (!line_complete) {
    const ssize_t got = fd_read(output.fd, room.data(), room.size());
    if (got <= 0) {
      // The end of the output ends the line too; nothing at all, or a read error, is a failure.
      read_failed = got < 0 || length == 0;
      break;
    }
    auto taken = static_cast<std::size_t>(got);
    const void* line_feed = std::memchr(room.data(), '\n', taken);
    if (line_feed != nullptr) {
      taken = static_cast<std::size_t>(static_cast<const char*>(line_feed) - room.data()) + 1;
      line_complete = true;
    }
    if (length + taken > buffer.size()) {
      grow_wiped(&buffer, length + taken);
    }
    std::memcpy(buffer.data() + length, room.data(), taken);
    length += taken;
  }
  secret_wipe(room.data(), room.size());
  // The rest of the output is never read: closing the pipe ends a command that goes on writing,
  // and the command is waited for. Its exit status does not matter: a command that fails but
  // prints a line still gives that line.
  output.reset();
  const int status = eval_reap(pid);
  if (read_failed) {
    secret_wipe(buffer.data(), buffer.size());
    return {std::nullopt,
            must_asprintf(gettext("cannot read output of '%s'"), command) + eval_ending(status)};
  }

  if (line_complete) {
    --length;
    if (length > 0 && buffer[length - 1] == '\r') {
      --length;
    }
  }
  // A password is a NUL-terminated string: a NUL byte in the line cuts it there.
  length = ::strnlen(buffer.c_str(), length);
  // What the password leaves of the line stays in the string's memory unless wiped.
  secret_wipe(buffer.data() + length, buffer.size() - length);
  buffer.resize(length);
  return {std::move(buffer), std::nullopt};
}

std::optional<std::string> password_get(const char* host, const char* user, int protocol,
                                        bool consult_netrc, bool require_tty,
                                        password_missing* why) {
  (void)protocol;  // the same password serves every protocol
  if (consult_netrc) {
    std::optional<std::string> password = netrc_lookup(host, user, get_sysconfdir().c_str());
    if (password.has_value()) {
      return password;
    }
  }
  if (require_tty) {
    // Only a test: the stream is closed again at once.
    const unique_file tty(std::fopen("/dev/tty", "w+"));
    if (!tty) {
      if (why != nullptr) {
        *why = password_missing::no_terminal;
      }
      return std::nullopt;
    }
  }
  return password_prompt(must_asprintf(gettext("password for %s at %s: "), user, host), why);
}

}  // namespace fernd
