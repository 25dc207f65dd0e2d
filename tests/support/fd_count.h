// Counting the open file descriptors of the test process, to prove that no path leaks one.
#ifndef FERND_TESTS_SUPPORT_FD_COUNT_H_
#define FERND_TESTS_SUPPORT_FD_COUNT_H_

namespace fernd {

/// The number of entries in /proc/self/fd (the descriptor that reads it included, so that two
/// counts compare equal when nothing else changed); -1 when it cannot be read.
int open_fd_count();

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_FD_COUNT_H_
