// What can stand where a scan saw a regular file by the time the file is opened: things that a
// session must neither wait on nor stream from, nor read as mail.
#ifndef FERND_TESTS_SUPPORT_NOT_REGULAR_FILE_H_
#define FERND_TESTS_SUPPORT_NOT_REGULAR_FILE_H_

#include <functional>
#include <string>
#include <vector>

namespace fernd {

/// One way to put something other than a regular file at a path.
struct not_regular_file {
  const char* what;
  /// Makes the thing at \a path, where nothing is; fails the calling test when it cannot.
  std::function<void(const std::string& path)> make;
};

/// Every way the tests know: a FIFO, which would block an open for ever; a directory; links to
/// /dev/null and /dev/zero, which would stream nothing or without end; a link to \a fifo, a FIFO
/// that the caller made outside new/; and nothing at all.
std::vector<not_regular_file> not_regular_files(const std::string& fifo);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_NOT_REGULAR_FILE_H_
