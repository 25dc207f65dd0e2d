// Reading and writing a test's end of a pipe, socket or terminal with every wait bounded, so that
// a fault in the code under test fails the test instead of hanging it.
#ifndef FERND_TESTS_SUPPORT_FD_READING_H_
#define FERND_TESTS_SUPPORT_FD_READING_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>

namespace fernd {

/// Appends what \a fd delivers to \a text until \a enough holds for \a text, the data ends (end of
/// file, a reset, or EIO from a terminal whose other side has gone) or \a deadline passes. Never
/// reads \a text beyond \a at_most bytes. Returns whether \a enough held.
bool read_until(int fd, std::string* text, std::chrono::steady_clock::time_point deadline,
                const std::function<bool(const std::string&)>& enough,
                std::size_t at_most = std::numeric_limits<std::size_t>::max());

/// Reads until the other side closes; fails the calling test when that takes longer than
/// \a limit.
std::string read_to_end(int fd, std::chrono::milliseconds limit);

/// Reads exactly \a count bytes, or fewer when the other side closes or \a limit passes first.
std::string read_exactly(int fd, std::size_t count, std::chrono::milliseconds limit);

/// Sends all of \a bytes on a socket, in writes of \a piece bytes (0: one write); fails the
/// calling test (ASSERT_NO_FATAL_FAILURE) when a write falls short.
void send_all(int fd, const std::string& bytes, std::size_t piece = 0);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_FD_READING_H_
