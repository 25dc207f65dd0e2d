// The netrc reader: file locations, the tokenizer and its entries, lookups, and the release of a
// list with its passwords overwritten. The server never consults it; other callers of
// password_get may.
#include "credentials/netrc.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "common/must_alloc.h"
#include "common/posix_handle.h"

namespace fernd {

namespace {

// Room of the one fgets per read: at most 511 characters, so a longer line arrives, and is
// tokenized, in pieces of 511 (a token across the boundary becomes two).
constexpr std::size_t netrc_line_size = 512;

// What a stored password is overwritten with before its memory goes back: the letter U.
constexpr char netrc_wipe_byte = 0x55;

// Stores through a volatile pointer: the compiler must perform every one of them, even into
// memory that is released right afterwards.
void overwrite(char* data, std::size_t size, char value) noexcept {
  volatile char* bytes = data;
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = value;
  }
}

void wipe_password(std::optional<std::string>* password) noexcept {
  if (password->has_value()) {
    overwrite((*password)->data(), (*password)->size(), netrc_wipe_byte);
  }
}

// isspace in the POSIX locale, which this program never changes.
bool is_netrc_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class netrc_state {
  keyword,
  account_value,
  login_value,
  macro,
  machine_value,
  password_value
};

struct netrc_reader {
  netrc_list* list = nullptr;
  // The current entry, when there is one, is the last of list->entries: values are written
  // straight into the record that keeps them.
  bool has_current = false;
  netrc_state state = netrc_state::keyword;

  netrc_entry& current() { return list->entries.back(); }
};

// Finishes the current entry and begins a new, empty one: an entry with a login stays in the
// list, one without is dropped (its record is reused).
void netrc_start_entry(netrc_reader* reader) {
  if (!reader->has_current) {
    reader->list->entries.emplace_back();
    reader->has_current = true;
    return;
  }
  netrc_entry& entry = reader->current();
  if (entry.login.has_value()) {
    reader->list->entries.emplace_back();
    return;
  }
  wipe_password(&entry.password);
  entry.password.reset();
  entry.machine.reset();
}

// Whether the rest of the line is still to be read after a token.
enum class line_rest { read, ignore };

line_rest netrc_handle_token(netrc_reader* reader, std::string_view token) {
  switch (reader->state) {
    case netrc_state::keyword:
      if (token == "default") {
        netrc_start_entry(reader);
      } else if (token == "login" || token == "user") {
        reader->state = netrc_state::login_value;
      } else if (token == "macdef") {
        reader->state = netrc_state::macro;
        return line_rest::ignore;
      } else if (token == "machine") {
        reader->state = netrc_state::machine_value;
      } else if (token == "password" || token == "passwd") {
        reader->state = netrc_state::password_value;
      } else if (token == "account") {
        reader->state = netrc_state::account_value;
      }
      break;
    case netrc_state::machine_value:
      netrc_start_entry(reader);
      reader->current().machine.emplace(token);
      reader->state = netrc_state::keyword;
      break;
    case netrc_state::login_value:
      if (reader->has_current) {
        reader->current().login.emplace(token);
      }
      reader->state = netrc_state::keyword;
      break;
    case netrc_state::password_value:
      if (reader->has_current) {
        // The earlier password's memory is released by the emplace.
        wipe_password(&reader->current().password);
        reader->current().password.emplace(token);
      }
      reader->state = netrc_state::keyword;
      break;
    case netrc_state::account_value:
      reader->state = netrc_state::keyword;
      break;
    case netrc_state::macro:
      // Macro lines never reach the tokenizer.
      break;
  }
  return line_rest::read;
}

// Reads the next token of line[0, length) from *pos onwards, which is not whitespace, and drops
// the quote characters in place (the write position never passes the read position). Consumes
// the whitespace that ends the token.
std::string_view netrc_read_token(char* line, std::size_t length, std::size_t* pos) {
  const std::size_t start = *pos;
  std::size_t in = start;
  std::size_t out = start;
  char quote = '\0';
  while (in < length) {
    const char c = line[in++];
    if (quote != '\0') {
      if (c == quote) {
        quote = '\0';
      } else {
        line[out++] = c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (is_netrc_space(c)) {
      break;
    } else {
      line[out++] = c;
    }
  }
  *pos = in;
  return {line + start, out - start};
}

void netrc_read_line(netrc_reader* reader, char* line) {
  std::size_t length = std::strlen(line);
  while (length > 0 && is_netrc_space(line[length - 1])) {
    --length;
  }
  if (length == 0) {
    if (reader->state == netrc_state::macro) {
      reader->state = netrc_state::keyword;
    }
    return;
  }
  if (reader->state == netrc_state::macro) {
    return;
  }
  std::size_t pos = 0;
  for (;;) {
    while (pos < length && is_netrc_space(line[pos])) {
      ++pos;
    }
    // A comment starts only with the raw first character of a token, before quotes count.
    if (pos >= length || line[pos] == '#') {
      return;
    }
    const std::string_view token = netrc_read_token(line, length, &pos);
    if (netrc_handle_token(reader, token) == line_rest::ignore || pos >= length) {
      return;
    }
  }
}

netrc_list_ptr netrc_parse_file(const char* path) {
  // The stream's own buffer and the line buffer hold the file's passwords too: both are ours, so
  // that they can be overwritten once the file is closed.
  std::array<char, BUFSIZ> stream_buffer;
  std::array<char, netrc_line_size> line;
  netrc_list_ptr list(new netrc_list);
  netrc_reader reader;
  reader.list = list.get();
  {
    unique_file file(std::fopen(path, "re"));
    if (!file) {
      return nullptr;
    }
    (void)std::setvbuf(file.get(), stream_buffer.data(), _IOFBF, stream_buffer.size());
    // A read error ends the loop as the end of the file does: the entries so far are used.
    while (std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr) {
      netrc_read_line(&reader, line.data());
    }
  }
  overwrite(stream_buffer.data(), stream_buffer.size(), '\0');
  overwrite(line.data(), line.size(), '\0');

  netrc_start_entry(&reader);
  list->entries.pop_back();  // the empty entry that finishing the last one began
  if (list->entries.empty()) {
    return nullptr;
  }
  return list;
}

std::optional<std::string> netrc_lookup_file(const std::string& path, const char* host,
                                             const char* user) {
  const netrc_list_ptr list = netrc_parse(path.c_str());
  const netrc_entry* entry = netrc_find(list.get(), host, user);
  if (entry == nullptr || !entry->password.has_value()) {
    return std::nullopt;
  }
  // Copied before the list goes, because releasing it overwrites the stored one.
  return must_strdup(entry->password->c_str());
}

}  // namespace

void netrc_list_releaser::operator()(netrc_list* list) const noexcept {
  netrc_free(list);
}

std::string get_homedir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr) {
    return must_strdup(home);
  }
  const passwd* entry = ::getpwuid(::getuid());
  if (entry != nullptr && entry->pw_dir != nullptr) {
    return must_strdup(entry->pw_dir);
  }
  return must_strdup("");
}

std::string get_sysconfdir() {
  return must_strdup("/etc");
}

std::string get_filename(const char* dir, const char* file) {
  const std::size_t dir_length = std::strlen(dir);
  const bool has_slash = dir_length > 0 && dir[dir_length - 1] == '/';
  return must_asprintf("%s%s%s", dir, has_slash ? "" : "/", file);
}

netrc_list_ptr netrc_parse(const char* path) {
  try {
    return netrc_parse_file(path);
  } catch (const std::bad_alloc&) {
    must_die_nomem();
  }
}

const netrc_entry* netrc_find(const netrc_list* list, const char* host, const char* user) {
  if (list == nullptr) {
    return nullptr;
  }
  for (const netrc_entry& entry : list->entries) {
    if (entry.machine.has_value() && *entry.machine == host &&
        (!entry.login.has_value() || *entry.login == user)) {
      return &entry;
    }
  }
  return nullptr;
}

void netrc_wipe(netrc_list* list) {
  if (list == nullptr) {
    return;
  }
  for (netrc_entry& entry : list->entries) {
    wipe_password(&entry.password);
  }
}

void netrc_free(netrc_list* list) {
  if (list == nullptr) {
    return;
  }
  netrc_wipe(list);
  delete list;
}

std::optional<std::string> netrc_lookup(const char* host, const char* user,
                                        const char* sysconfdir) {
  const std::string home_file = get_filename(get_homedir().c_str(), ".netrc");
  std::optional<std::string> password = netrc_lookup_file(home_file, host, user);
  if (password.has_value()) {
    return password;
  }
  return netrc_lookup_file(get_filename(sysconfdir, "netrc"), host, user);
}

}  // namespace fernd
