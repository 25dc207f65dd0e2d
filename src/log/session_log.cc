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
#include <string>

#include "common/fd_rw.h"
#include "common/path_walk.h"

namespace fernd {
namespace {

// Room for the "%F %T" time text; far more than it ever needs.
constexpr std::size_t log_time_size = 128;

// Lines up to this size are built on the stack; longer ones get a heap buffer of their exact size.
// Session lines are short: a user name is cleaned and a command line is at most pop3_line_size
// bytes (common/limits.h).
constexpr std::size_t log_line_stack_size = 2048;

// The mode of a log file that fernd creates, whatever the umask: the log names users and clients,
// which is for the administrator, not for every user of the machine.
constexpr mode_t log_file_mode = S_IRUSR | S_IWUSR | S_IRGRP;

// How often a log file that another process creates between the walk and the creation is walked
// to again before the log gives up on it.
constexpr int log_create_tries = 3;

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

namespace {

// Opens \a name in \a directory for appending, without following a link and without waiting on a
// FIFO, with \a create_flags (O_CREAT | O_EXCL to make it), made again after EINTR.
unique_fd log_file_open_at(int directory, const std::string& name, int create_flags) {
  unique_fd file;
  do {
    file.reset(::openat(
        directory, name.c_str(),
        O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | create_flags,
        log_file_mode));
  } while (file.fd < 0 && errno == EINTR);
  return file;
}

// Whether \a status is the client's connection under inetd, standard input: log lines must never
// reach a client.
bool is_client_connection(const struct stat& status) {
  struct stat input {};
  return S_ISSOCK(status.st_mode) && ::fstat(STDIN_FILENO, &input) == 0 &&
         input.st_dev == status.st_dev && input.st_ino == status.st_ino;
}

// \a file, opened without waiting, with writes that block as usual: a line is written whole or not
// at all, never cut off by EAGAIN.
unique_fd log_file_blocking(unique_fd file, const char* file_name, std::string* reason) {
  const int flags = ::fcntl(file.fd, F_GETFL);
  if (flags < 0 || ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *reason = std::string(file_name) + ": " + std::strerror(errno);
    return {};
  }
  return file;
}

// One try of log_file_open. Sets \a again when the file was created by another process meanwhile.
unique_fd log_file_try(const char* file_name, std::string* reason, bool* again) {
  path_trust trust = path_trust_own();
  trust.own_descriptors = true;
  path_found found;
  if (!path_walk(file_name, &trust, &found, true)) {
    *reason = std::move(found.reason);
    return {};
  }
  if (found.own_descriptor) {
    if (is_client_connection(found.status)) {
      *reason = std::string(file_name) + " is the client's connection";
      return {};
    }
    return std::move(found.fd);
  }
  if (found.fd.fd < 0) {
    unique_fd file = log_file_open_at(found.directory.fd, found.name, O_CREAT | O_EXCL);
    if (file.fd < 0) {
      *again = errno == EEXIST;
      *reason = std::string(file_name) + ": " + std::strerror(errno);
      return {};
    }
    (void)::fchmod(file.fd, log_file_mode);
    return log_file_blocking(std::move(file), file_name, reason);
  }
  // A second name could make the lines land in a file that only looks like the log; a FIFO,
  // a socket or a directory is no log at all. A character device is a terminal or /dev/null.
  const struct stat& status = found.status;
  if (!(S_ISREG(status.st_mode) && status.st_nlink == 1) && !S_ISCHR(status.st_mode)) {
    *reason = std::string(file_name) +
              (S_ISREG(status.st_mode) ? " has more than one link" : " is no regular file");
    return {};
  }
  unique_fd file = log_file_open_at(found.directory.fd, found.name, 0);
  struct stat opened {};
  if (file.fd < 0 || ::fstat(file.fd, &opened) != 0) {
    *reason = std::string(file_name) + ": " + std::strerror(errno);
    return {};
  }
  if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
    *reason = std::string(file_name) + " was replaced while it was opened";
    return {};
  }
  return log_file_blocking(std::move(file), file_name, reason);
}

}  // namespace

unique_fd log_file_open(const char* file_name, std::string* reason) {
  std::string why;
  try {
    for (int attempt = 0; attempt < log_create_tries; ++attempt) {
      bool again = false;
      unique_fd file = log_file_try(file_name, &why, &again);
      if (file.fd >= 0 || !again) {
        if (reason != nullptr) {
          *reason = std::move(why);
        }
        return file;
      }
    }
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  if (reason != nullptr) {
    *reason = std::move(why);
  }
  return {};
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

char* sanitize(char* text) {
  // The POSIX locale's control characters, spelled out so that no locale can widen the set.
  constexpr unsigned char delete_char = 127;
  for (char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < ' ' || byte == delete_char) {
      *p = '?';
    }
  }
  return text;
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
