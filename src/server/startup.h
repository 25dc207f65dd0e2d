// The program's entry: the command line, the account list, and the choice of run mode.
#ifndef FERND_SERVER_STARTUP_H_
#define FERND_SERVER_STARTUP_H_

#include "common/account.h"

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
  account_list accounts;
};

/// Parses the options into \a config, obtaining every account's password on the way. Returns 0,
/// or 1 after writing the error to standard error.
int parse_command_line(int argc, char** argv, startup_config* config);

/// The whole program: returns the process exit status (0, 1 or 3).
int fernd_main(int argc, char** argv);

}  // namespace fernd

#endif  // FERND_SERVER_STARTUP_H_
