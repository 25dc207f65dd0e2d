// The netrc files: where they lie, how one is read into entries, which entry answers for a host
// and a user, and how the entries are released with their passwords overwritten. The server never
// reads them (it asks password_get for the prompt alone); the reader serves password_get's other
// callers, which may ask for netrc first.
#ifndef FERND_CREDENTIALS_NETRC_H_
#define FERND_CREDENTIALS_NETRC_H_

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace fernd {

/// One entry of a netrc file, begun by "machine" or "default".
struct netrc_entry {
  std::optional<std::string> machine;   ///< none for an entry begun by "default"
  std::optional<std::string> login;     ///< from "login" or "user"
  std::optional<std::string> password;  ///< from "password" or "passwd"
};

/// The entries of one netrc file, in file order; every one has a login. Entries never move in
/// memory once stored (a deque only appends and removes at its end), so no stray copy of a
/// password is left behind in released storage.
struct netrc_list {
  std::deque<netrc_entry> entries;
};

/// Releases a list through netrc_free.
struct netrc_list_releaser {
  void operator()(netrc_list* list) const noexcept;
};

/// An owned list; null stands for none (no file, or no entry in it).
using netrc_list_ptr = std::unique_ptr<netrc_list, netrc_list_releaser>;

/// The user's home directory: $HOME when set (even empty), else the password database entry of
/// the real user id, else the empty string.
std::string get_homedir();

/// The directory of the system's netrc file: "/etc".
std::string get_sysconfdir();

/// \a dir and \a file joined with one slash; an empty \a dir gives "/<file>", and a \a dir that
/// already ends with a slash gets no second one.
std::string get_filename(const char* dir, const char* file);

/// Reads the netrc file at \a path. Returns its entries that have a login, in file order, or null
/// when the file cannot be opened or yields no such entry. A read error counts as the end of the
/// file. Never reports anything; memory exhaustion ends the process.
netrc_list_ptr netrc_parse(const char* path);

/// The first entry of \a list whose machine equals \a host and whose login is unset or equals
/// \a user (byte for byte), or null. \a list may be null. The entry belongs to the list.
const netrc_entry* netrc_find(const netrc_list* list, const char* host, const char* user);

/// Overwrites every byte of every password stored in \a list with 0x55 ('U'), in a way the
/// compiler cannot drop; the lengths stay. \a list may be null.
void netrc_wipe(netrc_list* list);

/// Wipes the passwords of \a list (netrc_wipe) and releases it with all its entries. \a list may
/// be null.
void netrc_free(netrc_list* list);

/// The netrc step of password_get: the first matching entry of "<home>/.netrc" if it has a
/// password, else that of "<sysconfdir>/netrc" if it has one, else none. Missing or unreadable
/// files give nothing, silently.
std::optional<std::string> netrc_lookup(const char* host, const char* user, const char* sysconfdir);

}  // namespace fernd

#endif  // FERND_CREDENTIALS_NETRC_H_
