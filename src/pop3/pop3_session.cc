// One POP3 dialogue: the authorization phase with its USER and PASS, the transaction phase with
// its command table, and the update phase that unlinks what the client deleted.
#include "pop3/pop3_session.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "common/clock.h"
#include "common/deadline.h"
#include "common/limits.h"
#include "common/posix_handle.h"
#include "common/secret.h"
#include "maildir/maildir.h"
#include "maildir/unique_id.h"
#include "pop3/transmission.h"

namespace fernd {
namespace {

// Room for one formatted unsigned 64-bit number.
constexpr std::size_t number_text_size = 20;

constexpr std::string_view reply_greeting = "+OK fernd ready.\r\n";
constexpr std::string_view reply_ok = "+OK\r\n";
constexpr std::string_view reply_not_understood = "-ERR command not understood\r\n";
constexpr std::string_view reply_auth_failed = "-ERR authorization failed\r\n";
constexpr std::string_view reply_no_mailbox = "-ERR cannot access mailbox\r\n";
constexpr std::string_view reply_no_message = "-ERR\r\n";
constexpr std::string_view reply_cannot_open = "-ERR cannot open message\r\n";
constexpr std::string_view reply_end = ".\r\n";

// With --resp-codes (RFC 2449), the refusals after PASS carry a code that tells a client why: a
// client such as fetchmail counts any other refusal as a wrong password, and after a few of them
// tells its user so, when another session merely held the mailbox.
constexpr std::string_view reply_auth_failed_coded = "-ERR [AUTH] authorization failed\r\n";
constexpr std::string_view reply_in_use_coded =
    "-ERR [IN-USE] mailbox in use by another session\r\n";
constexpr std::string_view reply_no_mailbox_coded = "-ERR [SYS/TEMP] cannot access mailbox\r\n";

// What CAPA announces, in this order, each line only when the command line turned on what it
// names. Without --top and --resp-codes the reply is "+OK", USER, UIDL and ".".
enum class capability_when { always, top, resp_codes };
struct capability {
  std::string_view line;
  capability_when when;
};
constexpr capability capabilities[] = {
    {"USER\r\n", capability_when::always},
    {"TOP\r\n", capability_when::top},
    {"UIDL\r\n", capability_when::always},
    {"RESP-CODES\r\n", capability_when::resp_codes},
    {"AUTH-RESP-CODE\r\n", capability_when::resp_codes},
};

// Room for the longest capability reply.
constexpr std::size_t capa_reply_max = [] {
  std::size_t size = reply_ok.size() + reply_end.size();
  for (const capability& each : capabilities) {
    size += each.line.size();
  }
  return size;
}();

// Everything one dialogue holds. It lives on pop3_session's stack and ends with it; the command
// line lies in the connection's input buffer and the user name in a fixed buffer, so the dialogue
// itself allocates nothing.
struct pop3_state {
  pop3_state(session_log* session_log, connection& session_client,
             std::span<account> session_accounts, bool delay)
      : log(session_log), client(session_client), accounts(session_accounts), auth_delay(delay) {}

  session_log* log;
  connection& client;
  std::span<account> accounts;
  bool auth_delay;
  bool top = false;         // TOP is served and announced
  bool resp_codes = false;  // refusals after PASS carry response codes, and CAPA says so
  pop3_client_address client_address;
  bool auth_failed = false;
  bool pass_may_follow = false;    // an accepted USER was the last command: PASS may come next
  bool line_follows_user = false;  // the command being run is the line right after that USER
  std::array<char, pop3_line_size> user{};  // the name of the last accepted USER
  maildir_snapshot mailbox;
};

// What a command leads to.
enum class step {
  next,   // read the next command
  quit,   // the client ended the phase
  abort,  // an error ended the session, already logged or to be logged at the end of the phase
  login,  // the mailbox is open: on to the transaction phase
};

// Appends a short reply. One that cannot be written marks the connection as failed, and the
// session ends on that before it reads another command; long replies check at once (send_listing,
// cmd_retr).
void reply(pop3_state& s, std::string_view text) {
  connection_send(s.client, text);
}

[[gnu::format(printf, 2, 3)]] void reply_format(pop3_state& s, const char* format, ...);

void reply_format(pop3_state& s, const char* format, ...) {
  char text[pop3_line_size + 2 * number_text_size + 16];
  std::va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) {
    return;
  }
  reply(s, {text, std::min(static_cast<std::size_t>(length), sizeof text - 1)});
}

// Room for a message file's path in a log line: the maildir's path, "/new/" and the name.
using logged_path_room = std::array<char, 4096 + maildir_name_max + 8>;

// The path of message \a entry as a log line names it, with every control character of the name
// (which a mailbox's owner chose) made '?': a name must not forge log lines.
const char* logged_path(const pop3_state& s, const mail_entry& entry, logged_path_room& room) {
  (void)std::snprintf(room.data(), room.size(), "%s/%s", s.mailbox.directory_path.c_str(),
                      entry.name);
  return sanitize(room.data());
}

bool is_word(const char* line, std::string_view word) {
  return ::strncasecmp(line, word.data(), word.size()) == 0 && line[word.size()] == '\0';
}

bool has_prefix(const char* line, std::string_view prefix) {
  return ::strncasecmp(line, prefix.data(), prefix.size()) == 0;
}

// ---- the command tables' shape, both phases ----

// What a command takes after its word.
enum class argument_kind {
  none,               // the word alone
  optional_message,   // the word alone, or the word, a blank and a message number
  message,            // the word, a blank and a message number
  message_and_lines,  // the word, a blank, a message number, a blank and a line count
  text,               // the word, a blank and any text, none included: a user name, a password
};

// A command's argument once it has been checked: the message a number designates, or none when
// the command came without one; or the text after the blank.
struct command_argument {
  std::uint64_t number = 0;
  mail_entry* entry = nullptr;
  std::uint64_t lines = 0;     // TOP's line count
  const char* text = nullptr;  // the rest of the line, for argument_kind::text
};

using command_handler = step (*)(pop3_state& s, const command_argument& argument);

// Whether a command is served whatever the command line says, or only with an option.
enum class served { always, with_top };

// One row of a phase's command table.
struct pop3_command {
  std::string_view word;
  argument_kind argument;
  command_handler handler;
  served when = served::always;
};

// ---- authorization phase ----

// The passwords of the accounts that this session did not log in to are not needed again: the
// process holds only the one it uses from here on.
void wipe_other_passwords(pop3_state& s, const account& logged_in) {
  for (account& other : s.accounts) {
    if (&other != &logged_in) {
      secret_wipe(other.password.data(), other.password.size());
      other.password.clear();
    }
  }
}

// The client's address for a failed password check, on a line of its own that holds no byte the
// client chose: a tool that bans guessers reads the address there and cannot be led to another
// one by a user name. It names no address when the session does not know it.
void log_failure_source(const pop3_state& s) {
  const pop3_client_address& client = s.client_address;
  if (client.text[0] == '\0') {
    log_write(s.log, log_info, "invalid credentials from an unknown address");
    return;
  }
  log_write(s.log, log_info, "invalid credentials from %s port %d", client.text.data(),
            client.port);
}

// The password of the PASS line right after an accepted USER.
step check_password(pop3_state& s, const char* password) {
  if (s.auth_failed || s.auth_delay) {
    clock_sleep(auth_delay_pause);
  }
  // The pause may have taken the session past its deadline: no login then.
  if (deadline_passed()) {
    connection_wipe_input(s.client);
    log_write(s.log, log_error, "no login in time, session aborted");
    return step::abort;
  }
  const account* match = nullptr;
  for (const account& each : s.accounts) {
    if (each.user == s.user.data()) {
      match = &each;
      break;  // the first account with the name decides; a later namesake is never consulted
    }
  }
  const bool valid = match != nullptr && secret_equal(match->password, password);
  // The password is not needed again: nothing of the input up to the end of the PASS line stays.
  connection_wipe_input(s.client);
  if (!valid) {
    log_write(s.log, log_info, "authorization for user %s failed: invalid credentials",
              sanitize(s.user.data()));
    log_failure_source(s);
    reply(s, s.resp_codes ? reply_auth_failed_coded : reply_auth_failed);
    s.auth_failed = true;
    return step::next;
  }
  maildir_failure failure;
  if (!match->maildir.has_value() ||
      !maildir_open(&s.mailbox, match->maildir->c_str(), &failure, maildir_user::controller)) {
    // A mailbox that another session holds is the ordinary refusal; anything else is a fault of
    // the set-up that the administrator must be able to find.
    if (match->maildir.has_value() && !failure.lock_held) {
      std::array<char, 4096> path{};
      (void)std::snprintf(path.data(), path.size(), "%s", match->maildir->c_str());
      log_write(s.log, log_error, "cannot open maildir %s: %s", sanitize(path.data()),
                sanitize(failure.reason.data()));
    }
    if (!s.resp_codes) {
      reply(s, reply_no_mailbox);
    } else {
      reply(s, failure.lock_held ? reply_in_use_coded : reply_no_mailbox_coded);
    }
    log_write(s.log, log_info, "authorization for user %s failed: cannot lock mailbox",
              match->user.c_str());
    // The process acts for the mailbox's user now, whatever became of the open: it serves no
    // other login.
    if (failure.user_changed) {
      log_write(s.log, log_error, "the process acts for the mailbox's user, session aborted");
      return step::abort;
    }
    return step::next;
  }
  wipe_other_passwords(s, *match);
  deadline_disarm();
  reply(s, reply_ok);
  log_write(s.log, log_info, "user %s authorized and mailbox locked", match->user.c_str());
  log_write(s.log, log_info, "starting transaction phase with %llu mails in mailbox",
            static_cast<unsigned long long>(s.mailbox.message_count));
  return step::login;
}

step auth_quit(pop3_state& s, const command_argument& /*argument*/) {
  reply(s, reply_ok);
  log_write(s.log, log_info, "client ended session");
  return step::quit;
}

// The capability reply, formed whole and sent as one piece.
step cmd_capa(pop3_state& s, const command_argument& /*argument*/) {
  std::array<char, capa_reply_max> text;  // NOLINT: filled before it is sent
  std::size_t length = reply_ok.copy(text.data(), reply_ok.size());
  for (const capability& each : capabilities) {
    if (each.when == capability_when::always || (each.when == capability_when::top && s.top) ||
        (each.when == capability_when::resp_codes && s.resp_codes)) {
      length += each.line.copy(text.data() + length, each.line.size());
    }
  }
  length += reply_end.copy(text.data() + length, reply_end.size());
  reply(s, {text.data(), length});
  return step::next;
}

step cmd_user(pop3_state& s, const command_argument& argument) {
  // Both buffers have the same size, so the rest of the line always fits.
  std::strcpy(s.user.data(), argument.text);
  log_write(s.log, log_info, "client started authorization");
  reply(s, reply_ok);
  s.pass_may_follow = true;
  return step::next;
}

// A password counts only right after its USER; any other PASS is no command.
step cmd_pass(pop3_state& s, const command_argument& argument) {
  if (!s.line_follows_user) {
    reply(s, reply_not_understood);
    return step::next;
  }
  return check_password(s, argument.text);
}

// The commands of the authorization phase; every other line is not understood.
constexpr pop3_command authorization_commands[] = {
    {"QUIT", argument_kind::none, auth_quit},
    {"CAPA", argument_kind::none, cmd_capa},
    {"USER", argument_kind::text, cmd_user},
    {"PASS", argument_kind::text, cmd_pass},
};

step dispatch(pop3_state& s, const char* line, std::span<const pop3_command> commands);

// Returns quit, abort or login.
step authorization_phase(pop3_state& s) {
  for (;;) {
    // The PASS after an accepted USER is checked, and a wrong one counted for the listener's
    // delay, even when the client no longer takes replies.
    const command_line line = read_line(
        s.client, s.pass_may_follow ? output_check::skipped : output_check::before_reading);
    if (line.status == line_status::output_error) {
      log_write(s.log, log_error, "output error, session aborted");
      return step::abort;
    }
    if (line.status == line_status::deadline) {
      log_write(s.log, log_error, "no login in time, session aborted");
      return step::abort;
    }
    if (line.status != line_status::ready) {
      log_write(s.log, log_error, "input error, session aborted");
      return step::abort;
    }
    s.line_follows_user = std::exchange(s.pass_may_follow, false);
    const step next = dispatch(s, line.text, authorization_commands);
    if (next != step::next) {
      return next;
    }
  }
}

// ---- transaction phase ----

step cmd_quit(pop3_state& s, const command_argument& /*argument*/) {
  reply(s, reply_ok);
  log_write(s.log, log_info, "client ended transaction phase");
  return step::quit;
}

step cmd_noop(pop3_state& s, const command_argument& /*argument*/) {
  reply(s, reply_ok);
  return step::next;
}

step cmd_rset(pop3_state& s, const command_argument& /*argument*/) {
  for (mail_entry& entry : s.mailbox.entries) {
    entry.deleted = false;
  }
  reply(s, reply_ok);
  return step::next;
}

step cmd_stat(pop3_state& s, const command_argument& /*argument*/) {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  for (const mail_entry& entry : s.mailbox.entries) {
    if (!entry.deleted) {
      ++count;
      size += entry.file_size;
    }
  }
  reply_format(s, "+OK %llu %llu\r\n", static_cast<unsigned long long>(count),
               static_cast<unsigned long long>(size));
  return step::next;
}

// The longest line of a listing: two numbers or a number and a unique id, a blank, CR LF.
constexpr std::size_t listing_line_max = 2 * number_text_size + unique_id_max + 3;

// Forms one line of a listing in \a room: the message number, a blank, the unique id (UIDL) or the
// size (LIST), CR LF. Returns its length.
std::size_t form_listing_line(char* room, std::uint64_t number, const mail_entry& entry,
                              bool with_names) {
  // Each number is given exactly its room, which a 64-bit number always fits.
  char* at = std::to_chars(room, room + number_text_size, number).ptr;
  *at++ = ' ';
  if (with_names) {
    unique_id_room id_room;
    const std::string_view id = unique_id_of(entry, id_room);
    at += id.copy(at, unique_id_max);
  } else {
    at = std::to_chars(at, at + number_text_size, entry.file_size).ptr;
  }
  *at++ = '\r';
  *at++ = '\n';
  return static_cast<std::size_t>(at - room);
}

// LIST and UIDL without an argument: one line per message, formed straight in the output buffer,
// which leaves in large writes. A write that fails ends the session at once.
step send_listing(pop3_state& s, bool with_names) {
  if (!connection_put(s.client, reply_ok)) {
    return step::abort;
  }
  // The names lie in the store in directory order, not in message order: a name a few lines
  // ahead is asked for early, so that forming its line does not wait for memory.
  constexpr std::uint64_t name_prefetch_distance = 16;
  const std::uint64_t count = s.mailbox.message_count;
  for (std::uint64_t i = 0; i < count; ++i) {
    const mail_entry& entry = s.mailbox.entries[i];
    if (with_names && i + name_prefetch_distance < count) {
      __builtin_prefetch(s.mailbox.entries[i + name_prefetch_distance].name);
    }
    if (entry.deleted) {
      continue;
    }
    const std::span<char> room = connection_reserve(s.client, listing_line_max);
    if (room.empty()) {
      return step::abort;
    }
    connection_commit(s.client, form_listing_line(room.data(), i + 1, entry, with_names));
  }
  return connection_put(s.client, reply_end) ? step::next : step::abort;
}

step cmd_list(pop3_state& s, const command_argument& argument) {
  if (argument.entry == nullptr) {
    return send_listing(s, false);
  }
  reply_format(s, "+OK %llu %llu\r\n", static_cast<unsigned long long>(argument.number),
               static_cast<unsigned long long>(argument.entry->file_size));
  return step::next;
}

step cmd_uidl(pop3_state& s, const command_argument& argument) {
  if (argument.entry == nullptr) {
    return send_listing(s, true);
  }
  unique_id_room id_room;
  const std::string_view id = unique_id_of(*argument.entry, id_room);
  reply_format(s, "+OK %llu %.*s\r\n", static_cast<unsigned long long>(argument.number),
               static_cast<int>(id.size()), id.data());
  return step::next;
}

// RETR and TOP: the message, whole or its header and first \a body_lines lines, formed alike. It
// leaves at once, in large writes, and a write that fails is the transmission's failure: the
// client did not get what it asked for whole.
step send_message(pop3_state& s, const mail_entry& entry, std::optional<std::uint64_t> body_lines) {
  const unique_fd message = maildir_open_message(s.mailbox, entry);
  if (message.fd < 0) {
    reply(s, reply_cannot_open);
    logged_path_room path;
    log_write(s.log, log_error, "cannot open mail file %s", logged_path(s, entry, path));
    return step::next;
  }
  if (!connection_put(s.client, reply_ok) ||
      !(body_lines ? send_mail_top(message.fd, *body_lines, s.client)
                   : send_mail_file(message.fd, s.client)) ||
      !connection_put(s.client, reply_end) || !connection_flush(s.client)) {
    logged_path_room path;
    log_write(s.log, log_error, "cannot send mail file %s", logged_path(s, entry, path));
    return step::abort;
  }
  return step::next;
}

step cmd_retr(pop3_state& s, const command_argument& argument) {
  return send_message(s, *argument.entry, std::nullopt);
}

// TOP marks nothing and does not count as a retrieval.
step cmd_top(pop3_state& s, const command_argument& argument) {
  return send_message(s, *argument.entry, argument.lines);
}

step cmd_dele(pop3_state& s, const command_argument& argument) {
  argument.entry->deleted = true;
  reply(s, reply_ok);
  return step::next;
}

// The commands of the transaction phase. A line that matches no row, or whose argument does not
// parse, is not understood.
constexpr pop3_command transaction_commands[] = {
    {"QUIT", argument_kind::none, cmd_quit},
    {"NOOP", argument_kind::none, cmd_noop},
    {"CAPA", argument_kind::none, cmd_capa},
    {"RSET", argument_kind::none, cmd_rset},
    {"STAT", argument_kind::none, cmd_stat},
    {"LIST", argument_kind::optional_message, cmd_list},
    {"UIDL", argument_kind::optional_message, cmd_uidl},
    {"RETR", argument_kind::message, cmd_retr},
    {"DELE", argument_kind::message, cmd_dele},
    {"TOP", argument_kind::message_and_lines, cmd_top, served::with_top},
};

// Reads the decimal number that is all of \a text: digits only (no blank, no sign), at most 64
// bits, leading zeros allowed.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

// Whether \a line is \a command: its word alone where that is allowed, or its word, one blank and
// what its argument kind takes; the argument goes to \a argument.
bool command_matches(const pop3_command& command, const char* line, command_argument* argument) {
  const bool word_alone = command.argument == argument_kind::none ||
                          command.argument == argument_kind::optional_message;
  if (word_alone && is_word(line, command.word)) {
    return true;
  }
  if (command.argument == argument_kind::none || !has_prefix(line, command.word) ||
      line[command.word.size()] != ' ') {
    return false;
  }
  const char* const rest = line + command.word.size() + 1;
  switch (command.argument) {
    case argument_kind::text:
      argument->text = rest;
      return true;
    case argument_kind::message_and_lines:
      if (const std::optional<top_arguments> top = parse_top_arguments(rest)) {
        argument->number = top->number;
        argument->lines = top->lines;
        return true;
      }
      return false;
    default:
      if (const std::optional<std::uint64_t> number = parse_msgnum(rest)) {
        argument->number = *number;
        return true;
      }
      return false;
  }
}

// Runs \a line through \a commands, in their order. A message number must designate a message
// that exists and is not marked deleted ("-ERR" otherwise); only then does the command act.
step dispatch(pop3_state& s, const char* line, std::span<const pop3_command> commands) {
  for (const pop3_command& command : commands) {
    // A command that is not served is no command at all: any line of it is not understood.
    if (command.when == served::with_top && !s.top) {
      continue;
    }
    command_argument argument;
    if (!command_matches(command, line, &argument)) {
      continue;
    }
    if (argument.number != 0) {
      if (argument.number > s.mailbox.message_count ||
          s.mailbox.entries[argument.number - 1].deleted) {
        reply(s, reply_no_message);
        return step::next;
      }
      argument.entry = &s.mailbox.entries[argument.number - 1];
    }
    return command.handler(s, argument);
  }
  reply(s, reply_not_understood);
  return step::next;
}

// Unlinks the marked messages. A file that is already gone still counts: the client asked for it
// to go, and it is gone. One that stays (no right to remove it, say) still counts too, as the
// client was told, but the log says so: it will be fetched again.
void update_phase(pop3_state& s) {
  std::uint64_t deleted = 0;
  for (const mail_entry& entry : s.mailbox.entries) {
    if (!entry.deleted) {
      continue;
    }
    const int error = maildir_unlink_message(s.mailbox, entry);
    if (error != 0 && error != ENOENT) {
      logged_path_room path;
      log_write(s.log, log_error, "cannot unlink mail file %s: %s", logged_path(s, entry, path),
                std::strerror(error));
    }
    ++deleted;
  }
  log_write(s.log, log_info, "%llu mails deleted in update phase; session ends",
            static_cast<unsigned long long>(deleted));
}

// Returns true when the client quit and the update phase ran.
bool transaction_phase(pop3_state& s) {
  bool quit = false;
  for (;;) {
    const command_line line = read_line(s.client);
    if (line.status == line_status::output_error) {
      break;  // logged below, once for every way out
    }
    if (line.status != line_status::ready) {
      log_write(s.log, log_error, "input error, session aborted");
      break;
    }
    const step next = dispatch(s, line.text, transaction_commands);
    if (next == step::quit) {
      quit = true;
      break;
    }
    if (next == step::abort) {
      break;
    }
  }
  // The reply to QUIT has left, and is known to have left, before any message is unlinked.
  if (!connection_flush(s.client)) {
    log_write(s.log, log_error, "output error, session aborted");
    quit = false;
  }
  if (quit) {
    update_phase(s);
  }
  maildir_close(&s.mailbox);
  return quit;
}

}  // namespace

std::optional<std::uint64_t> parse_msgnum(std::string_view text) {
  const std::optional<std::uint64_t> number = parse_decimal(text);
  if (number == 0U) {
    return std::nullopt;  // messages are numbered from 1
  }
  return number;
}

std::optional<top_arguments> parse_top_arguments(std::string_view text) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> number = parse_msgnum(text.substr(0, blank));
  const std::optional<std::uint64_t> lines = parse_decimal(text.substr(blank + 1));
  if (!number || !lines) {
    return std::nullopt;
  }
  return top_arguments{*number, *lines};
}

session_result pop3_session(session_log* log, connection& client, std::span<account> accounts,
                            bool auth_delay, pop3_options options) {
  pop3_state s(log, client, accounts, auth_delay);
  s.top = options.top;
  s.resp_codes = options.resp_codes;
  s.client_address = options.client;
  log_write(log, log_info, "starting POP3 session");
  reply(s, reply_greeting);
  bool quit = false;
  switch (authorization_phase(s)) {
    case step::quit:
      quit = true;
      break;
    case step::login:
      quit = transaction_phase(s);
      break;
    default:
      break;
  }
  // What is still unsent (the reply to a QUIT before any login) leaves now; how the session ended
  // is settled already.
  (void)connection_flush(client);
  if (s.auth_failed) {
    return session_result::auth_failed;
  }
  return quit ? session_result::quit : session_result::aborted;
}

}  // namespace fernd
