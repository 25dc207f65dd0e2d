// The session log: where one process records the course of its POP3 session. It writes to a file
// of its own line format, to syslog (identifier "fernd", facility mail), or nowhere.
#ifndef FERND_LOG_SESSION_LOG_H_
#define FERND_LOG_SESSION_LOG_H_

#include <cstdint>
#include <string>

#include "common/posix_handle.h"

namespace fernd {

/// How much a message matters. A message is written when its level is at least the log's
/// threshold.
enum class log_level : std::uint8_t { info, error };
inline constexpr log_level log_info = log_level::info;
inline constexpr log_level log_error = log_level::error;

/// Where a session log writes.
enum class log_sink : std::uint8_t {
  nowhere,  ///< nothing was opened
  syslog,   ///< syslog, opened
  file,     ///< the log file, open in \a file
};

/// The log sink of one process, as log_open chose it. The sink closes itself when the record ends
/// (log_close), so that no caller has to know whether anything was opened.
struct session_log {
  log_sink sink = log_sink::nowhere;
  unique_fd file;                         ///< the open log file when the sink is a file
  log_level threshold = log_level::info;  ///< the lowest level that is written

  session_log() = default;
  session_log(const session_log&) = delete;
  session_log& operator=(const session_log&) = delete;
  ~session_log();
};

/// Opens the sink: the file \a file_name when given (appending; on failure syslog instead, which
/// first receives "cannot open log file, using syslog instead" at LOG_ERR), else syslog when
/// \a to_syslog is set, else nothing. Cannot fail.
void log_open(bool to_syslog, const char* file_name, session_log* log);

/// Opens the log file \a file_name for appending, as log_open does. The path is walked step by step
/// (common/path_walk.h) and followed only through directories and links that root or the process's
/// own user control; "/dev/stderr" and the like give the process's own descriptor, whatever it is,
/// unless it is the client's connection. An existing file must be a regular file with one link or
/// a character device (a terminal, /dev/null); a FIFO is never opened. A missing file is created
/// with mode 0640 whatever the umask. The descriptor is close-on-exec and never the controlling
/// terminal. Returns it, or none with the reason in \a reason when given.
[[nodiscard]] unique_fd log_file_open(const char* file_name, std::string* reason = nullptr);

/// Writes one message at \a level, formatted after the printf conventions. A file line reads
/// "%F %T fernd[pid] info|error: message\n" and reaches the file in one write, when it is logged.
[[gnu::format(printf, 3, 4)]] void log_write(session_log* log, log_level level, const char* format,
                                             ...);

/// The log's own cleaning of text that others chose (a user name, a file name), so that it
/// cannot forge a line: replaces every control character (1-31, 127) of \a text with '?', in place;
/// returns \a text.
char* sanitize(char* text);

/// Closes the file, or syslog when it was opened, and leaves the log writing nowhere. Does nothing
/// to a log that writes nowhere, so calling it twice is harmless. A process that ends with _exit
/// calls it first: no destructor runs then.
void log_close(session_log* log);

}  // namespace fernd

#endif  // FERND_LOG_SESSION_LOG_H_
