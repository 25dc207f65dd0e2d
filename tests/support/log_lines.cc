#include "support/log_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "support/temp_maildir.h"

namespace fernd {
namespace {

/// The time at the start of a line: '0' stands for any digit, every other byte for itself.
constexpr std::string_view time_shape = "0000-00-00 00:00:00";

bool is_digit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

/// Removes \a prefix from the front of \a text; false when \a text does not start with it.
bool take(std::string_view* text, std::string_view prefix) {
  if (!text->starts_with(prefix)) {
    return false;
  }
  text->remove_prefix(prefix.size());
  return true;
}

}  // namespace

log_lines operator+(log_lines a, const log_lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::optional<log_line> log_lines_parse(std::string_view line) {
  if (line.size() < time_shape.size()) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < time_shape.size(); ++i) {
    if (time_shape[i] == '0' ? !is_digit(line[i]) : line[i] != time_shape[i]) {
      return std::nullopt;
    }
  }
  std::string_view rest = line.substr(time_shape.size());
  if (!take(&rest, " fernd[")) {
    return std::nullopt;
  }
  const std::size_t digits = rest.find_first_not_of("0123456789");
  // Linux process ids have at most seven digits; nine still fit pid_t.
  if (digits == 0 || digits > 9 || digits == std::string_view::npos) {
    return std::nullopt;
  }
  const long long pid = std::stoll(std::string(rest.substr(0, digits)));
  rest.remove_prefix(digits);
  if (!take(&rest, "] ") || !(rest.starts_with("info: ") || rest.starts_with("error: "))) {
    return std::nullopt;
  }
  return log_line{static_cast<pid_t>(pid), std::string(rest)};
}

log_lines log_lines_read(const std::string& path, pid_t pid) {
  const std::string text = read_file(path);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the log ends inside a line: " << text;
  log_lines lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    const std::string_view line = std::string_view(text).substr(start, end - start);
    start = end + 1;
    std::optional<log_line> parsed = log_lines_parse(line);
    if (!parsed.has_value()) {
      ADD_FAILURE() << "not a log line: " << line;
      continue;
    }
    if (parsed->pid != pid) {
      ADD_FAILURE() << "a line of process " << parsed->pid << ", not " << pid << ": " << line;
      continue;
    }
    lines.push_back(std::move(parsed->text));
  }
  return lines;
}

bool log_lines_has(const log_lines& lines, const log_lines& part) {
  return std::search(lines.begin(), lines.end(), part.begin(), part.end()) != lines.end();
}

const log_lines logged_session_start = {"info: starting POP3 session"};
const log_lines logged_session_quit = {"info: client ended session"};
const log_lines logged_user_accepted = {"info: client started authorization"};
const log_lines logged_input_error = {"error: input error, session aborted"};
const log_lines logged_output_error = {"error: output error, session aborted"};
const log_lines logged_transaction_end = {"info: client ended transaction phase"};

log_lines logged_authorized(const std::string& user, int count) {
  return {"info: user " + user + " authorized and mailbox locked",
          "info: starting transaction phase with " + std::to_string(count) + " mails in mailbox"};
}

log_lines logged_login(int count) {
  return logged_session_start + logged_user_accepted + logged_authorized("alice", count);
}

log_lines logged_invalid_credentials(const std::string& user, const std::string& from) {
  return {"info: authorization for user " + user + " failed: invalid credentials",
          "info: invalid credentials from " + from};
}

log_lines logged_mailbox_refused(const std::string& user) {
  return {"info: authorization for user " + user + " failed: cannot lock mailbox"};
}

log_lines logged_update(int deleted) {
  return logged_transaction_end + log_lines{"info: " + std::to_string(deleted) +
                                            " mails deleted in update phase; session ends"};
}

log_lines logged_cannot_open(const std::string& path) {
  return {"error: cannot open mail file " + path};
}

log_lines logged_cannot_send(const std::string& path) {
  return {"error: cannot send mail file " + path};
}

}  // namespace fernd
