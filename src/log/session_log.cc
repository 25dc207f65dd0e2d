// The session log's three sinks (a file of its own line format, syslog, nowhere) and the writing
// of one line.
#include "log/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "common/fd_rw.h"

namespace fernd {
namespace {

// Room for the "%F %T" time text; far more than it ever needs.
constexpr std::size_t log_time_size = 128;

// Lines up to this size are built on the stack; longer ones get a heap buffer of their exact size.
// Session lines are short: a user name is cleaned and a command line is at most pop3_line_size
// bytes (common/limits.h).
constexpr std::size_t log_line_stack_size = 2048;

// The mode of a log file that does not exist yet: read and write for everyone, less the umask,
// which is what decides. The log holds no password; the shipped units run fernd with umask 077.
constexpr mode_t log_file_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

void log_open_syslog() {
  ::openlog("fernd", LOG_PID, LOG_MAIL);
}

// Formats "<time> fernd[<pid>] <word>: <message>\n" and writes it with one write.
void log_write_file(int fd, log_level level, const char* format, std::va_list args) {
  char time_text[log_time_size] = "";
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  if (local != nullptr) {
    (void)std::strftime(time_text, sizeof time_text, "%F %T", local);
  }

  char stack_line[log_line_stack_size];
  const int prefix_length =
      std::snprintf(stack_line, sizeof stack_line, "%s fernd[%lld] %s: ", time_text,
                    static_cast<long long>(::getpid()), level == log_info ? "info" : "error");
  if (prefix_length < 0) {
    return;
  }
  const auto prefix_size = static_cast<std::size_t>(prefix_length);

  std::va_list args_copy;
  va_copy(args_copy, args);
  int message_length =
      std::vsnprintf(stack_line + prefix_size, sizeof stack_line - prefix_size, format, args_copy);
  va_end(args_copy);
  if (message_length < 0) {
    message_length = 0;  // An unconvertible message still leaves its prefix as a trace.
    stack_line[prefix_size] = '\0';
  }
  // The line feed takes the place of the terminating NUL that vsnprintf writes.
  const std::size_t line_size = prefix_size + static_cast<std::size_t>(message_length) + 1;

  char* line = stack_line;
  std::size_t size = line_size;
  std::unique_ptr<char[]> heap_line;
  if (line_size > sizeof stack_line) {
    heap_line.reset(new (std::nothrow) char[line_size]);
    if (heap_line != nullptr) {
      line = heap_line.get();
      std::memcpy(line, stack_line, prefix_size);
      (void)std::vsnprintf(line + prefix_size, line_size - prefix_size, format, args);
    } else {
      size = sizeof stack_line;  // No memory for the long line: its beginning beats losing it.
    }
  }
  line[size - 1] = '\n';
  // One write(2) per line: with O_APPEND the kernel places the whole line at the end of the file,
  // so lines of concurrent sessions never interleave, and nothing waits in a buffer that a killed
  // process would lose. A failing log file is not detected; the session goes on.
  (void)fd_write_all(fd, line, size);
}

}  // namespace

unique_fd log_file_open(const char* file_name) {
  // Appending, created when missing. Close-on-exec: the descriptor reaches no process that a
  // password command starts unless it is handed over on purpose. Without waiting: opening a FIFO
  // that no process reads would block for ever, and a FIFO or a device must never hold a session
  // before its greeting; this open fails at once instead (ENXIO), and the caller falls back. Never
  // the controlling terminal: a terminal device named as the log does not become one.
  unique_fd file(::open(
      file_name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, log_file_mode));
  if (file.fd < 0) {
    return file;
  }
  // Writes block as before: a line is written whole or not at all, never cut off by EAGAIN.
  const int flags = ::fcntl(file.fd, F_GETFL);
  if (flags < 0 || ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    file.reset();
    errno = error;
  }
  return file;
}

void log_open(bool to_syslog, const char* file_name, session_log* log) {
  log->file.reset();
  log->threshold = log_info;
  log->sink = log_sink::nowhere;
  if (file_name != nullptr) {
    log->file = log_file_open(file_name);
    if (log->file.fd >= 0) {
      log->sink = log_sink::file;
      return;
    }
    log_open_syslog();
    ::syslog(LOG_ERR, "cannot open log file, using syslog instead");
    log->sink = log_sink::syslog;
    return;
  }
  if (to_syslog) {
    log_open_syslog();
    log->sink = log_sink::syslog;
  }
}

void log_write(session_log* log, log_level level, const char* format, ...) {
  if (log->sink == log_sink::nowhere || level < log->threshold) {
    return;
  }
  std::va_list args;
  va_start(args, format);
  if (log->sink == log_sink::file) {
    log_write_file(log->file.fd, level, format, args);
  } else {
    ::vsyslog(level == log_info ? LOG_INFO : LOG_ERR, format, args);
  }
  va_end(args);
}

void log_close(session_log* log) {
  switch (log->sink) {
    case log_sink::nowhere:
      return;  // nothing was opened, or it is closed already
    case log_sink::file:
      log->file.reset();
      break;
    case log_sink::syslog:
      ::closelog();
      break;
  }
  log->sink = log_sink::nowhere;
}

session_log::~session_log() {
  log_close(this);
}

}  // namespace fernd
