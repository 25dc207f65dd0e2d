// The start-up configuration: everything the command line says, which the run modes read.
#ifndef FERND_SERVER_STARTUP_CONFIG_H_
#define FERND_SERVER_STARTUP_CONFIG_H_

#include <string>
#include <vector>

#include "common/account.h"
#include "common/posix_handle.h"

namespace fernd {

/// Where the listener listens unless --interface and --port say otherwise.
inline constexpr const char* startup_default_interface = "127.0.0.1";
constexpr int startup_default_port = 1100;

/// The start-up configuration that the command line fills.
struct startup_config {
  bool show_version = false;
  bool show_help = false;
  bool inetd = false;
  int port = startup_default_port;
  const char* interface = startup_default_interface;  ///< the option's argument itself
  bool log_to_syslog = false;
  const char* log_file = nullptr;  ///< the option's argument itself, or none
  bool top = false;                ///< --top: sessions serve TOP and announce it
  bool resp_codes = false;         ///< --resp-codes: refusals carry RFC 2449 response codes
  account_list accounts;
  /// What start-up found doubtful but not fatal, one line each ("warning: ..."): on standard error
  /// in standalone mode, in the session log in inetd mode, where standard error may be the client.
  std::vector<std::string> warnings;
  /// The passwordeval commands' standard error; none: fernd's own (see startup_password_stderr)
  unique_fd password_stderr;
};

}  // namespace fernd

#endif  // FERND_SERVER_STARTUP_CONFIG_H_
