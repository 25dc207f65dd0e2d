// No core files and no ptrace: the two settings that keep the passwords in fernd's memory there.
#include "server/no_dumps.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace fernd {

bool no_dumps_apply() {
  // The hard limit as well, so that nothing run later in the process can raise it again. A core
  // file would hold every password; a process that is not dumpable writes none only when the
  // kernel's suid_dumpable is 0, so the limit is needed too.
  const rlimit no_core{0, 0};
  if (::setrlimit(RLIMIT_CORE, &no_core) != 0) {
    return false;
  }
  // Not dumpable: another process of fernd's user can neither attach to it nor read its memory
  // through /proc. fork keeps the flag; execve clears it, so a passwordeval command does not
  // inherit it, and it holds no password but its own output.
  return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace fernd
