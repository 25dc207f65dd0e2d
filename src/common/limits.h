// Every limit of fernd in one place, each with the reason for its value. A limit is enforced where
// the data it bounds enters: the listener counts sessions, the session reads lines and pauses.
#ifndef FERND_COMMON_LIMITS_H_
#define FERND_COMMON_LIMITS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace fernd {

/// At most this many session processes run at once. Each holds a mailbox lock and a process; the
/// bound keeps a flood of connections from exhausting either. A further client is not refused: it
/// waits in the listen backlog until a session ends.
inline constexpr int listener_session_limit = 16;

/// Room in the kernel for clients that connect while every session slot is taken, so that they
/// wait for a slot instead of being refused.
inline constexpr int listen_backlog = 128;

/// Seconds after a session process ended with a failed login during which every new session pauses
/// before each password check: long enough to slow a guesser that reconnects at once, short enough
/// that honest users are rarely touched.
inline constexpr std::int64_t listener_auth_delay_window = 61;

/// How long a password check waits after a failed one, or always when the session is told to: it
/// slows guessing down and costs an honest client one second.
inline constexpr std::chrono::seconds auth_delay_pause(1);

/// An inetd session always pauses before a password check: nothing else slows down a client that
/// guesses passwords, since every guess may come in a fresh connection of its own.
inline constexpr bool inetd_auth_delay = true;

/// How long a session waits for a client that sends nothing, or that takes none of the output it
/// is sent, before it ends. RFC 1939: an inactivity autologout timer must be of at least ten
/// minutes' duration.
inline constexpr std::chrono::milliseconds session_idle_limit = std::chrono::minutes(10);

/// How long a client may take from the greeting to a successful login, whatever it sends or
/// leaves unread meanwhile. The idle limit restarts with every byte, and a write's with every
/// byte taken, so without this bound a few clients that trickle bytes, or that send commands and
/// never read the replies, could hold every session slot for good; two minutes leave room to type
/// a password, as login prompts commonly allow.
inline constexpr std::chrono::milliseconds session_login_limit = std::chrono::minutes(2);

/// Size of a command line with its line end: up to 1022 characters before the LF. RFC 1939 gives
/// each argument up to 40 characters; the larger room takes long user names and passwords as well,
/// without letting a client make the server hold unbounded input.
inline constexpr std::size_t pop3_line_size = 1024;

}  // namespace fernd

#endif  // FERND_COMMON_LIMITS_H_
