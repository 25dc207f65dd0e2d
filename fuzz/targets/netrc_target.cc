// Fuzz target: the netrc reader. The entries that netrc_parse returns must equal those of a plain
// reference reader written here from the file format's rules, lookups must answer as a plain
// search of the list does, and netrc_free must overwrite every password before it lets go.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/posix_handle.h"
#include "credentials/netrc.h"
#include "targets/fuzz_targets.h"

namespace fernd {
namespace {

// One line is read with fgets into 512 bytes: at most 511 characters at a time.
constexpr std::size_t reference_piece_size = 511;

struct reference_entry {
  std::optional<std::string> machine;
  std::optional<std::string> login;
  std::optional<std::string> password;
};

bool is_posix_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class reference_state {
  keyword,
  account_value,
  login_value,
  macro,
  machine_value,
  password_value
};

// The reader's rules, step by step as the file format describes them, with no regard for speed.
std::vector<reference_entry> reference_parse(std::string_view file) {
  std::vector<reference_entry> entries;
  std::optional<reference_entry> current;
  reference_state state = reference_state::keyword;
  const auto start_entry = [&entries, &current] {
    if (current.has_value() && current->login.has_value()) {
      entries.push_back(std::move(*current));
    }
    current = reference_entry{};
  };

  std::size_t pos = 0;
  while (pos < file.size()) {
    // One fgets: up to and including an LF, at most reference_piece_size bytes; as a C string the
    // piece ends at its first NUL.
    std::size_t end = pos;
    while (end < file.size() && end - pos < reference_piece_size) {
      if (file[end++] == '\n') {
        break;
      }
    }
    std::string_view line = file.substr(pos, end - pos);
    pos = end;
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && is_posix_space(line.back())) {
      line.remove_suffix(1);
    }
    if (line.empty()) {
      if (state == reference_state::macro) {
        state = reference_state::keyword;
      }
      continue;
    }
    if (state == reference_state::macro) {
      continue;
    }

    std::size_t i = 0;
    bool rest_ignored = false;
    while (!rest_ignored) {
      while (i < line.size() && is_posix_space(line[i])) {
        ++i;
      }
      if (i >= line.size() || line[i] == '#') {
        break;
      }
      std::string token;
      char quote = '\0';
      while (i < line.size()) {
        const char c = line[i++];
        if (quote != '\0') {
          if (c == quote) {
            quote = '\0';
          } else {
            token += c;
          }
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (is_posix_space(c)) {
          break;
        } else {
          token += c;
        }
      }

      switch (state) {
        case reference_state::keyword:
          if (token == "default") {
            start_entry();
          } else if (token == "login" || token == "user") {
            state = reference_state::login_value;
          } else if (token == "macdef") {
            state = reference_state::macro;
            rest_ignored = true;
          } else if (token == "machine") {
            state = reference_state::machine_value;
          } else if (token == "password" || token == "passwd") {
            state = reference_state::password_value;
          } else if (token == "account") {
            state = reference_state::account_value;
          }
          break;
        case reference_state::machine_value:
          start_entry();
          current->machine = token;
          state = reference_state::keyword;
          break;
        case reference_state::login_value:
          if (current.has_value()) {
            current->login = token;
          }
          state = reference_state::keyword;
          break;
        case reference_state::password_value:
          if (current.has_value()) {
            current->password = token;
          }
          state = reference_state::keyword;
          break;
        case reference_state::account_value:
          state = reference_state::keyword;
          break;
        case reference_state::macro:  // macro lines are skipped before they are read into tokens
          break;
      }
    }
  }
  start_entry();  // keeps the last entry if it has a login; the empty one it begins is dropped
  return entries;
}

const std::string& netrc_path() {
  static const std::string path = fuzz_scratch_dir() + "/netrc";
  return path;
}

void write_netrc(const std::uint8_t* data, std::size_t size) {
  unique_fd fd(::open(netrc_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.fd < 0) {
    fuzz_fail("cannot create the netrc file");
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd.fd, data + done, size - done);
    if (n <= 0) {
      fuzz_fail("cannot write the netrc file");
    }
    done += static_cast<std::size_t>(n);
  }
}

void print_field(const char* name, const std::optional<std::string>& value) {
  if (value.has_value()) {
    std::fprintf(stderr, " %s=[%s]", name, value->c_str());
  } else {
    std::fprintf(stderr, " %s=none", name);
  }
}

void check_entries(const netrc_list* list, const std::vector<reference_entry>& expected) {
  const std::size_t count = list == nullptr ? 0 : list->entries.size();
  bool equal = count == expected.size();
  for (std::size_t i = 0; equal && i < count; ++i) {
    const netrc_entry& got = list->entries[i];
    equal = got.machine == expected[i].machine && got.login == expected[i].login &&
            got.password == expected[i].password;
  }
  if (equal) {
    return;
  }
  std::fprintf(stderr, "netrc_parse gave %zu entries:\n", count);
  for (std::size_t i = 0; i < count; ++i) {
    print_field("machine", list->entries[i].machine);
    print_field("login", list->entries[i].login);
    print_field("password", list->entries[i].password);
    std::fprintf(stderr, "\n");
  }
  std::fprintf(stderr, "the reference reader gives %zu:\n", expected.size());
  for (const reference_entry& entry : expected) {
    print_field("machine", entry.machine);
    print_field("login", entry.login);
    print_field("password", entry.password);
    std::fprintf(stderr, "\n");
  }
  fuzz_fail("netrc_parse differs from the reference reader");
}

// The oracle of a lookup: the position of the first reference entry for \a host and \a user,
// worked out on the reference parser's entries (which check_entries has found equal to the list,
// in order), or none.
std::optional<std::size_t> reference_find(const std::vector<reference_entry>& expected,
                                          const std::string& host, const std::string& user) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const reference_entry& entry = expected[i];
    if (entry.machine == host && (!entry.login.has_value() || entry.login == user)) {
      return i;
    }
  }
  return std::nullopt;
}

// The position of \a found in \a list, or none for no entry.
std::optional<std::size_t> position_in(const netrc_list* list, const netrc_entry* found) {
  if (list == nullptr || found == nullptr) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < list->entries.size(); ++i) {
    if (&list->entries[i] == found) {
      return i;
    }
  }
  fuzz_fail("netrc_find returned an entry that is not in the list");
}

// The password lengths of the list being freed; the observer checks them after the wipe.
std::vector<std::size_t> password_lengths;

void check_wiped(const netrc_list& list) {
  std::size_t i = 0;
  for (const netrc_entry& entry : list.entries) {
    if (entry.password.has_value()) {
      if (i >= password_lengths.size() || entry.password->size() != password_lengths[i]) {
        fuzz_fail("netrc_wipe changed the length of a password");
      }
      ++i;
      if (entry.password->find_first_not_of('U') != std::string::npos) {
        fuzz_fail("netrc_wipe left a password byte that is not 'U'");
      }
    }
  }
}

}  // namespace

int fuzz_netrc(const std::uint8_t* data, std::size_t size) {
  write_netrc(data, size);
  netrc_list_ptr list = netrc_parse(netrc_path().c_str());
  const std::vector<reference_entry> expected =
      reference_parse(std::string_view(reinterpret_cast<const char*>(data), size));
  check_entries(list.get(), expected);
  if (list != nullptr && list->entries.empty()) {
    fuzz_fail("netrc_parse returned an empty list instead of none");
  }

  std::vector<std::pair<std::string, std::string>> lookups = {
      {"example.com", "alice"}, {"default", "anonymous"}, {"", ""}, {"machine", "login"}};
  for (const reference_entry& entry : expected) {
    lookups.emplace_back(entry.machine.value_or("default"), entry.login.value_or(""));
    lookups.emplace_back(entry.machine.value_or(""), "someone else");
  }
  for (const auto& [host, user] : lookups) {
    const netrc_entry* found = netrc_find(list.get(), host.c_str(), user.c_str());
    if (position_in(list.get(), found) != reference_find(expected, host, user)) {
      std::fprintf(stderr, "lookup of host [%s] user [%s]\n", host.c_str(), user.c_str());
      fuzz_fail("netrc_find answers otherwise than the reference entries");
    }
  }

  password_lengths.clear();
  if (list != nullptr) {
    for (const netrc_entry& entry : list->entries) {
      if (entry.password.has_value()) {
        password_lengths.push_back(entry.password->size());
      }
    }
  }
  // netrc_free wipes the passwords with netrc_wipe before it releases the list.
  if (list != nullptr) {
    netrc_wipe(list.get());
    check_wiped(*list);
  }
  netrc_free(list.release());
  return 0;
}

}  // namespace fernd
