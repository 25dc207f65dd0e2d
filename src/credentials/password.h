// Where account passwords come from: the first line of a command's output, or a prompt on the
// terminal (after the netrc files, when a caller asks for them).
#ifndef FERND_CREDENTIALS_PASSWORD_H_
#define FERND_CREDENTIALS_PASSWORD_H_

#include <optional>
#include <string>

namespace fernd {

/// What password_eval found: the password, or the message that says why there is none. Exactly
/// one of the two is set.
struct password_result {
  std::optional<std::string> password;
  std::optional<std::string> error;
};

/// password_eval's \a error_fd that leaves the command fernd's own standard error.
inline constexpr int password_own_stderr = -1;

/// Runs \a command through /bin/sh and takes the first line of its standard output, without its
/// LF and a CR before it, as the password. The command's standard input is /dev/null; its
/// standard error is \a error_fd, or fernd's own for password_own_stderr. When its output is
/// empty, the message says how the command ended, if it failed: "cannot read output of 'false':
/// it exited with status 1".
[[nodiscard]] password_result password_eval(const char* command,
                                            int error_fd = password_own_stderr);

/// Why password_get gave no password.
enum class password_missing {
  no_terminal,   ///< the process has no terminal to ask on
  end_of_input,  ///< input ended at the prompt (Ctrl-D) before the line did
};

/// The password for \a user at \a host: from the netrc files when \a consult_netrc is set, else
/// (or when they hold none) typed at the prompt "password for <user> at <host>: " on the process's
/// terminal, "/dev/tty", with echo off. Nothing but that terminal is ever read: without one, or
/// when input ends before the line does, there is no password. \a require_tty asks for the same
/// and is kept for the callers that pass it. \a protocol is not used. Returns none when no
/// password could be had, and then, when \a why is given, the reason there. The server itself
/// only prompts: it passes false for both flags. The netrc files, and the flags, serve other
/// callers of this reader.
[[nodiscard]] std::optional<std::string> password_get(const char* host, const char* user,
                                                      int protocol, bool consult_netrc,
                                                      bool require_tty,
                                                      password_missing* why = nullptr);

}  // namespace fernd

#endif  // FERND_CREDENTIALS_PASSWORD_H_
