// Runs the real fernd binary as a user or inetd would: its own process, standard input, output and
// error on pipes, or a pseudo-terminal as its controlling terminal; every wait bounded.
#ifndef FERND_TESTS_SERVER_STARTUP_PROCESS_H_
#define FERND_TESTS_SERVER_STARTUP_PROCESS_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/posix_handle.h"
#include "support/child_process.h"

namespace fernd {

/// How long any one fernd process in these tests may take before it is killed and the test fails.
constexpr std::chrono::seconds fernd_process_limit{20};

/// How a fernd process is started.
struct fernd_options {
  std::string argv0 = FERND_BINARY;  ///< argument zero, which every start-up message begins with
  std::string input;                 ///< written to standard input, which is then closed
  std::string cwd;                   ///< working directory; empty: the test's own
  rlim_t address_space = 0;          ///< RLIMIT_AS of the process, or 0 for none
  /// Standard input and output are one stream socket, as inetd or socket activation hands them
  /// over, instead of two pipes; the input side is shut down once all input is written.
  bool socket_stdio = false;
};

/// What a finished fernd process left behind.
struct fernd_result {
  int status = -1;  ///< exit status, or -1 when the process did not exit normally
  std::string out;  ///< everything it wrote to standard output
  std::string err;  ///< everything it wrote to standard error
  bool timed_out = false;
  std::chrono::steady_clock::duration elapsed{};  ///< from the start to the end of the process
};

/// A running fernd process on three pipes. Unless fernd_finish reaped it, the end of its scope
/// kills and reaps it.
struct fernd_process {
  child_process child;  ///< the process; its pid names it in the log
  unique_fd input;      ///< our end of its standard input
  unique_fd output;     ///< our end of its standard output
  unique_fd error;      ///< our end of its standard error
  std::string pending_input;
  std::chrono::steady_clock::time_point started;
};

/// Starts fernd with \a args after argument zero. The process runs in a session of its own, with
/// no controlling terminal, so that a password prompt can never reach the terminal of the test.
fernd_process fernd_start(const std::vector<std::string>& args, const fernd_options& options = {});

/// Feeds the rest of the input, collects both outputs to their end and reaps the process, within
/// fernd_process_limit; a process still running then is killed.
fernd_result fernd_finish(fernd_process* process);

/// fernd_start and fernd_finish in one.
fernd_result fernd_run(const std::vector<std::string>& args, const fernd_options& options = {});

/// A fernd process whose controlling terminal is a pseudo-terminal, as when an admin starts it
/// from a shell. Its standard error goes to the terminal, and so do its standard input and output
/// unless they are pipes, as in fernd_start; then fernd_finish collects them.
struct fernd_terminal {
  unique_fd master;       ///< the terminal's other side: what the program shows, what we type
  fernd_process process;  ///< the pid, and the pipes when requested
};

/// Starts fernd with \a args on a new pseudo-terminal; with \a pipes, standard input and output
/// are pipes instead (fed from \a options.input).
fernd_terminal fernd_start_on_terminal(const std::vector<std::string>& args, bool pipes,
                                       const fernd_options& options = {});

/// Reads what the terminal shows into \a shown until \a shown contains \a expected, the terminal
/// closes or the time limit passes. Returns whether \a expected appeared.
bool fernd_terminal_await(fernd_terminal* terminal, std::string_view expected, std::string* shown);

/// Types \a text on the terminal.
void fernd_terminal_type(fernd_terminal* terminal, std::string_view text);

/// Reads what the terminal shows until the program has closed it, reaps the program and returns
/// its exit status (-1 when killed at the time limit); \a shown accumulates what was read.
int fernd_terminal_finish(fernd_terminal* terminal, std::string* shown);

}  // namespace fernd

#endif  // FERND_TESTS_SERVER_STARTUP_PROCESS_H_
