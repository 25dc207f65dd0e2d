// The configured mailboxes: one user name, one password and one Maildir each.
#ifndef FERND_COMMON_ACCOUNT_H_
#define FERND_COMMON_ACCOUNT_H_

#include <optional>
#include <string>
#include <vector>

namespace fernd {

/// One mailbox as the command line configured it.
struct account {
  std::string user;      ///< POP3 user name, compared byte for byte
  std::string password;  ///< compared byte for byte with what PASS sends
  /// The Maildir directory path, used exactly as given; empty until a --maildir follows the --auth.
  std::optional<std::string> maildir;
};

/// Accounts in command-line order; the first account with a given user name decides a login.
using account_list = std::vector<account>;

}  // namespace fernd

#endif  // FERND_COMMON_ACCOUNT_H_
