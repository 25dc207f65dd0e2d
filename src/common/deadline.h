// The one deadline of a process that bounds every wait of a session before its login: the reads
// of the client's lines, the writes of replies that the client does not take, the pause before a
// password check. A timer of the process interrupts whatever call the session blocks in, so that
// no way of sending or not reading bytes keeps a session slot past the deadline.
#ifndef FERND_COMMON_DEADLINE_H_
#define FERND_COMMON_DEADLINE_H_

#include <chrono>

namespace fernd {

/// Arms the deadline \a limit from now, on the monotonic clock. When it passes, SIGALRM (without
/// SA_RESTART) makes the call that the process blocks in fail with EINTR, and deadline_passed
/// turns true; the signal comes again every deadline_repeat, so that a call entered just after
/// the first one is cut short as well. Replaces any SIGALRM handling of the process.
void deadline_arm(std::chrono::milliseconds limit);

/// How often the signal comes again once the deadline has passed.
inline constexpr std::chrono::milliseconds deadline_repeat(100);

/// Stops the timer for good: SIGALRM is ignored from now on, one already on its way included,
/// and deadline_passed stays false. Does nothing when the deadline is not armed.
void deadline_disarm();

/// Whether the armed deadline has passed. A loop that retries a call after EINTR asks this
/// first, and gives up when it is true.
[[nodiscard]] bool deadline_passed();

}  // namespace fernd

#endif  // FERND_COMMON_DEADLINE_H_
