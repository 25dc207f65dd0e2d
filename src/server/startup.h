// The program's entry: the command line, the account list, and the choice of run mode.
#ifndef FERND_SERVER_STARTUP_H_
#define FERND_SERVER_STARTUP_H_

#include "server/startup_config.h"

namespace fernd {

/// Parses the options into \a config, obtaining every account's password on the way. Returns true,
/// or false after writing the error to standard error.
[[nodiscard]] bool parse_command_line(int argc, char** argv, startup_config* config);

/// The whole program: returns the process exit status (0, 1 or 3).
int fernd_main(int argc, char** argv);

}  // namespace fernd

#endif  // FERND_SERVER_STARTUP_H_
