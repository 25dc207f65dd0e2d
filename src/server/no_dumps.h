// A fernd process holds every account's password from start-up on: no core file may keep them,
// and no other process of the same user may read them out of its memory.
#ifndef FERND_SERVER_NO_DUMPS_H_
#define FERND_SERVER_NO_DUMPS_H_

namespace fernd {

/// Sets the core file size limit, soft and hard, to 0 and marks the process not dumpable, which
/// also gives its /proc files (mem, environ, maps, fd) to root and refuses ptrace to every process
/// without CAP_SYS_PTRACE. Both hold for every child forked later, that is for every session
/// process. Returns false with errno set when either step failed.
[[nodiscard]] bool no_dumps_apply();

}  // namespace fernd

#endif  // FERND_SERVER_NO_DUMPS_H_
