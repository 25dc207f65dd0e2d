// Reading fernd's log files line by line, and the lines a session writes there, for tests that
// compare a log with what it must hold.
#ifndef FERND_TESTS_SUPPORT_LOG_LINES_H_
#define FERND_TESTS_SUPPORT_LOG_LINES_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernd {

/// Lines of a log, each without its time and process prefix and without its line end, as
/// "level: text" ("info: starting POP3 session").
using log_lines = std::vector<std::string>;

/// \a a, then \a b.
log_lines operator+(log_lines a, const log_lines& b);

/// One line of a log file taken apart.
struct log_line {
  pid_t pid = 0;     ///< the process that wrote it
  std::string text;  ///< "level: text"
};

/// Takes apart \a line, given without its line end: "YYYY-MM-DD hh:mm:ss fernd[pid] level: text",
/// where level is info or error. Empty when the line has any other form.
std::optional<log_line> log_lines_parse(std::string_view line);

/// The lines of the log file at \a path. Fails the calling test when the file cannot be read, when
/// a line has another form or names a process other than \a pid, or when the file ends inside a
/// line; such lines are left out.
log_lines log_lines_read(const std::string& path, pid_t pid);

/// Whether \a lines hold the lines of \a part one after another.
bool log_lines_has(const log_lines& lines, const log_lines& part);

// ---- what a session logs ----

/// The start of every session.
extern const log_lines logged_session_start;
/// A QUIT in the authorization phase.
extern const log_lines logged_session_quit;
/// A USER command.
extern const log_lines logged_user_accepted;
/// The end of a session whose client's input failed or ended.
extern const log_lines logged_input_error;
/// The end of a session whose output to the client failed.
extern const log_lines logged_output_error;
/// The QUIT that ends the transaction phase, before the update phase.
extern const log_lines logged_transaction_end;

/// A successful login of \a user, whose mailbox holds \a count messages.
log_lines logged_authorized(const std::string& user, int count);

/// The start of a session and a USER command, then the login of alice with \a count messages.
log_lines logged_login(int count);

/// A PASS with the wrong password, or for an unknown \a user, from the client \a from ("ADDRESS
/// port PORT", or "an unknown address" for a session on pipes).
log_lines logged_invalid_credentials(const std::string& user,
                                     const std::string& from = "an unknown address");

/// A login of \a user refused because the mailbox cannot be opened or another process holds it.
log_lines logged_mailbox_refused(const std::string& user);

/// A QUIT in the transaction phase and the update phase that deletes \a deleted messages.
log_lines logged_update(int deleted);

/// A message file at \a path that does not open as a regular file.
log_lines logged_cannot_open(const std::string& path);

/// A message file at \a path whose transmission failed.
log_lines logged_cannot_send(const std::string& path);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_LOG_LINES_H_
