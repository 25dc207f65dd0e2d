// The process's own messages before and outside any session: start-up errors and warnings. They go
// to standard error, unless standard error may be a client's connection (a classic inetd passes
// the connection as descriptors 0, 1 and 2), where they would tell the client about the set-up:
// then to syslog, as the session log's fallback does.
#ifndef FERND_COMMON_DIAGNOSTIC_H_
#define FERND_COMMON_DIAGNOSTIC_H_

namespace fernd {

/// From now on diagnostic_print writes to syslog (identifier "fernd", facility mail, LOG_ERR).
void diagnostic_to_syslog();

/// Whether diagnostic_print writes to syslog.
[[nodiscard]] bool diagnostic_in_syslog();

/// Writes one message, formatted after the printf conventions and ended by a line feed, to
/// standard error, or without the line feed to syslog. Allocates nothing.
[[gnu::format(printf, 1, 2)]] void diagnostic_print(const char* format, ...);

}  // namespace fernd

#endif  // FERND_COMMON_DIAGNOSTIC_H_
