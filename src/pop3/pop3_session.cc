#include "pop3/pop3_session.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "common/clock.h"
#include "common/limits.h"
#include "common/posix_handle.h"
#include "common/secret.h"
#include "maildir/maildir.h"
#include "pop3/output_block.h"
#include "pop3/pop3_io.h"

namespace fernd {
namespace {

// Length of a command word with its blank: "USER ", "PASS ", "LIST " and the other numbered
// commands. What follows is the argument.
constexpr std::size_t command_prefix_size = 5;

// Room for one formatted unsigned 64-bit number.
constexpr std::size_t number_text_size = 20;

constexpr char reply_greeting[] = "+OK fernd ready.\r\n";
constexpr char reply_ok[] = "+OK\r\n";
constexpr char reply_not_understood[] = "-ERR command not understood\r\n";
constexpr char reply_auth_failed[] = "-ERR authorization failed\r\n";
constexpr char reply_no_mailbox[] = "-ERR cannot access mailbox\r\n";
constexpr char reply_no_message[] = "-ERR\r\n";
constexpr char reply_cannot_open[] = "-ERR cannot open message\r\n";
constexpr char reply_end[] = ".\r\n";

// Everything one dialogue holds. It lives on pop3_session's stack and ends with it; the two line
// buffers are fixed, so the dialogue itself allocates nothing.
struct pop3_state {
  session_log* log = nullptr;
  std::FILE* input = nullptr;
  std::FILE* output = nullptr;
  const account* accounts = nullptr;
  std::uint64_t account_count = 0;
  int auth_delay = 0;
  int auth_failed = 0;
  std::array<char, pop3_line_size> line{};  // the command line last read, without its line end
  std::array<char, pop3_line_size> user{};  // the name of the last accepted USER
  maildir_snapshot mailbox;
};

// What a command of the authorization phase leads to.
enum class auth_step {
  next,     // read the next command
  pending,  // the command line holds a line read after USER that still awaits its answer
  quit,     // the client ended the session
  abort,    // input error, already logged
  login,    // the mailbox is open: on to the transaction phase
};

// What a command of the transaction phase leads to.
enum class transaction_step { next, quit, abort };

void reply(pop3_state& s, const char* text) {
  (void)std::fputs(text, s.output);
}

[[gnu::format(printf, 2, 3)]] void reply_format(pop3_state& s, const char* format, ...);

void reply_format(pop3_state& s, const char* format, ...) {
  // The whole line is formatted first so that it reaches the stream, and the client, in one piece.
  char text[pop3_line_size + 2 * number_text_size + 16];
  std::va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) {
    return;
  }
  (void)std::fwrite(text, 1, std::min(static_cast<std::size_t>(length), sizeof text - 1), s.output);
}

int session_status(const pop3_state& s, int result) {
  return s.auth_failed != 0 ? session_status_auth_failed : result;
}

bool is_word(const pop3_state& s, const char* word) {
  return ::strcasecmp(s.line.data(), word) == 0;
}

// True for "<word> <n>" with the word in any case and n a valid message number.
bool is_numbered(const pop3_state& s, const char* word_and_blank, std::uint64_t* number) {
  return ::strncasecmp(s.line.data(), word_and_blank, command_prefix_size) == 0 &&
         parse_msgnum(s.line.data() + command_prefix_size, number) == 0;
}

// The message a client's number designates, or none (answered "-ERR") when it is out of range or
// marked deleted.
mail_entry* find_message(pop3_state& s, std::uint64_t number) {
  if (number > s.mailbox.message_count) {
    return nullptr;
  }
  mail_entry& entry = s.mailbox.entries[number - 1];
  return entry.deleted != 0 ? nullptr : &entry;
}

// ---- authorization phase ----

auth_step cmd_auth_quit(pop3_state& s) {
  reply(s, reply_ok);
  log_write(s.log, log_info, "client ended session");
  return auth_step::quit;
}

// The password of the PASS line right after an accepted USER.
auth_step check_password(pop3_state& s, const char* password) {
  if (s.auth_failed != 0 || s.auth_delay != 0) {
    clock_sleep(auth_delay_pause);
  }
  const account* match = nullptr;
  for (std::uint64_t i = 0; i < s.account_count; ++i) {
    if (s.accounts[i].user == s.user.data()) {
      match = &s.accounts[i];
      break;  // the first account with the name decides; a later namesake is never consulted
    }
  }
  const bool valid = match != nullptr && secret_equal(match->password, password);
  // The password is not needed again: neither the line nor the input stream's buffer keeps it.
  secret_wipe(s.line.data(), s.line.size());
  wipe_consumed_input(s.input);
  if (!valid) {
    log_write(s.log, log_info, "authorization for user %s failed: invalid credentials",
              sanitize(s.user.data()));
    reply(s, reply_auth_failed);
    s.auth_failed = 1;
    return auth_step::next;
  }
  if (!match->maildir.has_value() || maildir_open(&s.mailbox, match->maildir->c_str()) != 0) {
    reply(s, reply_no_mailbox);
    log_write(s.log, log_info, "authorization for user %s failed: cannot lock mailbox",
              match->user.c_str());
    return auth_step::next;
  }
  reply(s, reply_ok);
  log_write(s.log, log_info, "user %s authorized and mailbox locked", match->user.c_str());
  log_write(s.log, log_info, "starting transaction phase with %llu mails in mailbox",
            static_cast<unsigned long long>(s.mailbox.message_count));
  return auth_step::login;
}

auth_step cmd_user(pop3_state& s) {
  // Both buffers have the same size, so the rest of the line always fits.
  std::strcpy(s.user.data(), s.line.data() + command_prefix_size);
  log_write(s.log, log_info, "client started authorization");
  reply(s, reply_ok);
  if (read_line(s.input, s.line.data(), s.line.size()) != 0) {
    log_write(s.log, log_error, "input error, session aborted");
    return auth_step::abort;
  }
  if (::strncasecmp(s.line.data(), "PASS ", command_prefix_size) != 0) {
    // Any other line is a command of the authorization phase in its own right; the user name is
    // forgotten, since a password counts only right after its USER.
    return auth_step::pending;
  }
  return check_password(s, s.line.data() + command_prefix_size);
}

// Runs the command line through the authorization table, in its order.
auth_step auth_dispatch(pop3_state& s) {
  if (is_word(s, "QUIT")) {
    return cmd_auth_quit(s);
  }
  if (is_word(s, "CAPA")) {
    send_capa(s.output);
    return auth_step::next;
  }
  if (::strncasecmp(s.line.data(), "USER ", command_prefix_size) == 0) {
    return cmd_user(s);
  }
  reply(s, reply_not_understood);
  return auth_step::next;
}

// Returns quit, abort or login.
auth_step authorization_phase(pop3_state& s) {
  for (;;) {
    if (std::ferror(s.output) != 0) {
      log_write(s.log, log_error, "output error, session aborted");
      return auth_step::abort;
    }
    if (read_line(s.input, s.line.data(), s.line.size()) != 0) {
      log_write(s.log, log_error, "input error, session aborted");
      return auth_step::abort;
    }
    auth_step step = auth_dispatch(s);
    while (step == auth_step::pending) {
      step = auth_dispatch(s);
    }
    if (step != auth_step::next) {
      return step;
    }
  }
}

// ---- transaction phase ----

transaction_step cmd_quit(pop3_state& s) {
  reply(s, reply_ok);
  log_write(s.log, log_info, "client ended transaction phase");
  return transaction_step::quit;
}

void cmd_rset(pop3_state& s) {
  for (mail_entry& entry : s.mailbox.entries) {
    entry.deleted = 0;
  }
  reply(s, reply_ok);
}

void cmd_stat(pop3_state& s) {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  for (const mail_entry& entry : s.mailbox.entries) {
    if (entry.deleted == 0) {
      ++count;
      size += entry.file_size;
    }
  }
  reply_format(s, "+OK %llu %llu\r\n", static_cast<unsigned long long>(count),
               static_cast<unsigned long long>(size));
}

// Appends one line of a listing: the message number, a blank, the name (UIDL) or the size
// (LIST), CR LF. Formed straight into the block when the longest line fits there, else in a small
// buffer that is then handed to the block, across its end.
void put_listing_line(output_block* block, std::uint64_t number, const mail_entry& entry,
                      bool with_names) {
  char spare[2 * number_text_size + 3 + maildir_name_max];
  const bool direct = block->bytes.size() - block->used >= sizeof spare;
  char* const line = direct ? block->bytes.data() + block->used : spare;
  // Each number is given exactly its room, which a 64-bit number always fits.
  char* at = std::to_chars(line, line + number_text_size, number).ptr;
  *at++ = ' ';
  if (with_names) {
    // The snapshot holds no longer name; the bound keeps the line inside its room regardless.
    const std::size_t name_size = std::min<std::size_t>(entry.name_size, maildir_name_max);
    std::memcpy(at, entry.name, name_size);
    at += name_size;
  } else {
    at = std::to_chars(at, at + number_text_size, entry.file_size).ptr;
  }
  *at++ = '\r';
  *at++ = '\n';
  const auto size = static_cast<std::size_t>(at - line);
  if (direct) {
    block->used += size;
  } else {
    output_block_put(block, spare, size);
  }
}

// LIST and UIDL without an argument: one line per message, gathered into large blocks so that a
// big mailbox does not cost one system call per line. The last block carries the ".\r\n".
void send_listing(pop3_state& s, bool with_names) {
  output_block block(s.output);
  output_block_put(&block, reply_ok, sizeof reply_ok - 1);
  // The names lie in the store in the order the directory gave them, not in message order, so
  // each line would wait for its name to come from memory: the names of the lines a little ahead
  // are asked for in advance (the lines of 100,000 messages took 10 ms to form before, 3 after).
  constexpr std::uint64_t name_prefetch_distance = 16;
  const std::uint64_t count = s.mailbox.message_count;
  for (std::uint64_t i = 0; i < count; ++i) {
    const mail_entry& entry = s.mailbox.entries[i];
    if (with_names && i + name_prefetch_distance < count) {
      __builtin_prefetch(s.mailbox.entries[i + name_prefetch_distance].name);
    }
    if (entry.deleted == 0) {
      put_listing_line(&block, i + 1, entry, with_names);
    }
  }
  output_block_put(&block, reply_end, sizeof reply_end - 1);
  // A short block shows in the stream's error indicator, which is tested before the next read.
  (void)output_block_finish(&block);
}

void cmd_list_one(pop3_state& s, std::uint64_t number) {
  const mail_entry* entry = find_message(s, number);
  if (entry == nullptr) {
    reply(s, reply_no_message);
    return;
  }
  reply_format(s, "+OK %llu %llu\r\n", static_cast<unsigned long long>(number),
               static_cast<unsigned long long>(entry->file_size));
}

void cmd_uidl_one(pop3_state& s, std::uint64_t number) {
  const mail_entry* entry = find_message(s, number);
  if (entry == nullptr) {
    reply(s, reply_no_message);
    return;
  }
  reply_format(s, "+OK %llu %s\r\n", static_cast<unsigned long long>(number), entry->name);
}

// Opens a message file for RETR, or gives none when it cannot be opened or is no regular file.
// The snapshot saw a regular file, but it may have been replaced since: a FIFO would block the
// open, or the reads, for ever, and a device such as /dev/zero behind a symbolic link would
// stream without end. Neither waits here, and neither is sent.
unique_file open_message(const char* path) {
  unique_fd fd;
  do {
    fd.reset(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (fd.fd < 0 && errno == EINTR);
  if (fd.fd < 0) {
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fd.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return nullptr;
  }
  unique_file stream{::fdopen(fd.fd, "r")};
  if (stream != nullptr) {
    (void)fd.release();
  }
  return stream;
}

transaction_step cmd_retr(pop3_state& s, std::uint64_t number) {
  const mail_entry* entry = find_message(s, number);
  if (entry == nullptr) {
    reply(s, reply_no_message);
    return transaction_step::next;
  }
  const char* path = maildir_entry_path(&s.mailbox, *entry);
  unique_file message = open_message(path);
  if (message == nullptr) {
    reply(s, reply_cannot_open);
    log_write(s.log, log_error, "cannot open mail file %s", path);
    return transaction_step::next;
  }
  reply(s, reply_ok);
  const int failed = send_mail_file(message.get(), s.output);
  message.reset();
  if (failed != 0) {
    log_write(s.log, log_error, "cannot send mail file %s", path);
    return transaction_step::abort;
  }
  reply(s, reply_end);
  return transaction_step::next;
}

void cmd_dele(pop3_state& s, std::uint64_t number) {
  mail_entry* entry = find_message(s, number);
  if (entry == nullptr) {
    reply(s, reply_no_message);
    return;
  }
  entry->deleted = 1;
  reply(s, reply_ok);
}

// Runs the command line through the transaction table, in its order.
transaction_step transaction_dispatch(pop3_state& s) {
  std::uint64_t number = 0;
  if (is_word(s, "QUIT")) {
    return cmd_quit(s);
  }
  if (is_word(s, "NOOP")) {
    reply(s, reply_ok);
  } else if (is_word(s, "CAPA")) {
    send_capa(s.output);
  } else if (is_word(s, "RSET")) {
    cmd_rset(s);
  } else if (is_word(s, "STAT")) {
    cmd_stat(s);
  } else if (is_word(s, "LIST")) {
    send_listing(s, false);
  } else if (is_numbered(s, "LIST ", &number)) {
    cmd_list_one(s, number);
  } else if (is_word(s, "UIDL")) {
    send_listing(s, true);
  } else if (is_numbered(s, "UIDL ", &number)) {
    cmd_uidl_one(s, number);
  } else if (is_numbered(s, "RETR ", &number)) {
    return cmd_retr(s, number);
  } else if (is_numbered(s, "DELE ", &number)) {
    cmd_dele(s, number);
  } else {
    reply(s, reply_not_understood);
  }
  return transaction_step::next;
}

// Unlinks the marked messages. A file that is already gone still counts: the client asked for it
// to go, and it is gone.
void update_phase(pop3_state& s) {
  std::uint64_t deleted = 0;
  for (const mail_entry& entry : s.mailbox.entries) {
    if (entry.deleted != 0) {
      (void)::unlink(maildir_entry_path(&s.mailbox, entry));
      ++deleted;
    }
  }
  log_write(s.log, log_info, "%llu mails deleted in update phase; session ends",
            static_cast<unsigned long long>(deleted));
}

// Returns the transaction result: 0 when the client quit and the update phase ran, else 1.
int transaction_phase(pop3_state& s) {
  int result = 1;
  for (;;) {
    if (std::ferror(s.output) != 0) {
      break;  // logged below, once for every way out
    }
    if (read_line(s.input, s.line.data(), s.line.size()) != 0) {
      log_write(s.log, log_error, "input error, session aborted");
      break;
    }
    const transaction_step step = transaction_dispatch(s);
    if (step == transaction_step::quit) {
      result = 0;
      break;
    }
    if (step == transaction_step::abort) {
      break;
    }
  }
  // Line buffering has already handed the reply to QUIT to the system: files are unlinked only
  // when the client can have received it.
  if (std::ferror(s.output) != 0) {
    log_write(s.log, log_error, "output error, session aborted");
    result = 1;
  }
  if (result == 0) {
    update_phase(s);
  }
  maildir_close(&s.mailbox);
  return result;
}

}  // namespace

int pop3_session(session_log* log, std::FILE* input, std::FILE* output, const account* accounts,
                 std::uint64_t account_count, int auth_delay) {
  ::setlinebuf(output);
  pop3_state s;
  s.log = log;
  s.input = input;
  s.output = output;
  s.accounts = accounts;
  s.account_count = account_count;
  s.auth_delay = auth_delay;
  log_write(log, log_info, "starting POP3 session");
  reply(s, reply_greeting);
  switch (authorization_phase(s)) {
    case auth_step::quit:
      return session_status(s, session_status_ok);
    case auth_step::login:
      return session_status(s, transaction_phase(s));
    default:
      return session_status(s, session_status_error);
  }
}

}  // namespace fernd
