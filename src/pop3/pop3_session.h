// One POP3 dialogue, from the greeting to the update phase, over a connection of fernd's own.
#ifndef FERND_POP3_POP3_SESSION_H_
#define FERND_POP3_POP3_SESSION_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/account.h"
#include "log/session_log.h"
#include "pop3/connection.h"

namespace fernd {

/// How a session ended.
enum class session_result {
  quit,         ///< the client quit (after a login, the update phase ran) and no login failed
  aborted,      ///< an input or output error or a failed transmission ended it; no login failed
  auth_failed,  ///< at least one password check failed, however the session ended
};

/// The longest address text with its NUL: an IPv6 address (INET6_ADDRSTRLEN).
inline constexpr std::size_t pop3_address_size = 46;

/// Where the client connects from, as the log names it. An empty text: not known (a session on a
/// pipe, or behind a program that passes no socket).
struct pop3_client_address {
  std::array<char, pop3_address_size> text{};
  int port = 0;
};

/// What a session serves beyond the bare dialogue, and what it knows of its client.
struct pop3_options {
  bool top = false;  ///< TOP is served, and CAPA announces it
  /// The refusals after PASS carry RFC 2449 response codes ([AUTH], [IN-USE], [SYS/TEMP]), and
  /// CAPA announces RESP-CODES and AUTH-RESP-CODE.
  bool resp_codes = false;
  /// Named in the line that follows every failed password check, for tools that ban guessers.
  pop3_client_address client;
};

// The arguments of the command table's rows (pop3_session.cc), parsed beside it.

/// Parses a message number: ASCII digits only, 1 to 18446744073709551615, leading zeros allowed.
/// None for anything else.
[[nodiscard]] std::optional<std::uint64_t> parse_msgnum(std::string_view text);

/// TOP's two arguments.
struct top_arguments {
  std::uint64_t number = 0;  ///< the message, 1 or more
  std::uint64_t lines = 0;   ///< how many lines of the body
};

/// Parses TOP's arguments: a message number as parse_msgnum takes it, exactly one blank, and a
/// line count of ASCII digits only, 0 to 18446744073709551615, leading zeros allowed. None for
/// anything else.
[[nodiscard]] std::optional<top_arguments> parse_top_arguments(std::string_view text);

/// Conducts one POP3 session with the client on \a client, against \a accounts (the first account
/// with a user name decides). With \a auth_delay every password check first waits auth_delay_pause
/// (common/limits.h). Logs its course to \a log. After a successful login the passwords of all
/// other accounts are wiped: the session needs none of them again. Whatever output is left is
/// written before it returns; the connection's descriptors stay open. \a options add what the
/// command line turned on.
[[nodiscard]] session_result pop3_session(session_log* log, connection& client,
                                          std::span<account> accounts, bool auth_delay,
                                          pop3_options options = {});

}  // namespace fernd

#endif  // FERND_POP3_POP3_SESSION_H_
