// A child process on a pseudo-terminal of its own, as when someone starts a program from a shell:
// for tests of what a program shows on its terminal and reads from it.
#ifndef FERND_TESTS_SUPPORT_PSEUDO_TERMINAL_H_
#define FERND_TESTS_SUPPORT_PSEUDO_TERMINAL_H_

#include <sys/types.h>

#include "common/posix_handle.h"

namespace fernd {

/// Forks a child in a session of its own whose controlling terminal, standard input, output and
/// error are a new pseudo-terminal. Returns 0 in the child; in the parent the child's pid, with
/// \a master holding the terminal's other side (close-on-exec), or -1 after failing the calling
/// test.
pid_t fork_on_terminal(unique_fd* master);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_PSEUDO_TERMINAL_H_
