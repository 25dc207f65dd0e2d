// Passwords at start-up: the first line of a passwordeval command's output, or the terminal prompt
// (after the netrc files, for callers that ask for them).
#include "credentials/password.h"

#include <fcntl.h>
#include <libintl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/fd_rw.h"
#include "common/must_alloc.h"
#include "common/posix_handle.h"
#include "common/secret.h"
#include "credentials/netrc.h"

namespace fernd {

namespace {

// Each read of the command's output is one fgets with 502 bytes of room: up to 501 characters
// and the NUL. The next read starts on that NUL, so the buffer grows by 501 bytes per read.
constexpr std::size_t eval_read_room = 502;
constexpr std::size_t eval_read_chars = eval_read_room - 1;

// Written over the room of each read before fgets runs, so that afterwards the last NUL in that
// room is the one fgets put there, even when the output holds NUL bytes of its own.
constexpr char eval_unread_marker = '\n';

// How many characters the fgets into \a room delivered.
std::size_t eval_delivered(const char* room) {
  std::size_t end = eval_read_room - 1;
  while (end > 0 && room[end] != '\0') {
    --end;
  }
  return end;
}

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
// has no terminal, or input ends (Ctrl-D) before the line does.
std::optional<std::string> password_prompt(const std::string& prompt) {
  unique_fd tty;
  do {
    tty.reset(::open(terminal_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  } while (tty.fd < 0 && errno == EINTR);
  if (tty.fd < 0) {
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
    return std::nullopt;
  }
  secret_wipe(typed.data() + length, typed.size() - length);
  typed.resize(length);
  return typed;
}

}  // namespace

password_result password_eval(const char* command) {
  // The stream's buffer and every block that the line grows out of hold the password: all are
  // ours, and each is wiped before it is given back. The buffer outlives the stream.
  std::array<char, BUFSIZ> stream_buffer;  // NOLINT: filled by the stream before it is read
  errno = 0;
  // Close-on-exec, so that no command started later inherits this pipe.
  unique_pipe output(::popen(command, "re"));
  if (!output) {
    int code = errno;
    if (code == 0) {
      // popen may fail without saying why; running out of memory is the likely reason.
      code = ENOMEM;
      errno = ENOMEM;
    }
    return {std::nullopt,
            must_asprintf(gettext("cannot evaluate '%s': %s"), command, std::strerror(code))};
  }

  (void)std::setvbuf(output.get(), stream_buffer.data(), _IOFBF, stream_buffer.size());
  std::string buffer;
  std::size_t length = 0;
  bool line_complete = false;
  bool read_failed = false;
  for (std::size_t step = 1;; ++step) {
    const std::size_t room_start = eval_read_chars * (step - 1);
    grow_wiped(&buffer, room_start + eval_read_room);
    char* room = buffer.data() + room_start;
    std::memset(room, eval_unread_marker, eval_read_room);
    if (std::fgets(room, static_cast<int>(eval_read_room), output.get()) == nullptr) {
      // At the end of the output right at the end of a read, the line simply had no line feed;
      // nothing at all, or a read error, is a failure.
      read_failed = !std::feof(output.get()) || step == 1;
      break;
    }
    length = room_start + eval_delivered(room);
    if (buffer[length - 1] == '\n') {
      line_complete = true;
      break;
    }
    if (std::feof(output.get())) {
      break;
    }
  }
  // The rest of the output is never read; pclose waits for the command. Its exit status does not
  // matter: a command that fails but prints a line still gives that line.
  output.reset();
  secret_wipe(stream_buffer.data(), stream_buffer.size());
  if (read_failed) {
    secret_wipe(buffer.data(), buffer.size());
    return {std::nullopt, must_asprintf(gettext("cannot read output of '%s'"), command)};
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
                                        bool consult_netrc, bool require_tty) {
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
      return std::nullopt;
    }
  }
  return password_prompt(must_asprintf(gettext("password for %s at %s: "), user, host));
}

}  // namespace fernd
