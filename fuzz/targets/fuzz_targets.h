// The bodies of the fuzz targets. libFuzzer calls them from the fuzzer executables, and the normal
// test suite replays the committed seed corpus and regression inputs through them, so that an
// input which once found a fault keeps being checked in every build.
#ifndef FERND_FUZZ_TARGETS_FUZZ_TARGETS_H_
#define FERND_FUZZ_TARGETS_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/posix_handle.h"

namespace fernd {

/// What a target returns for an input it refuses to run (libFuzzer then keeps it out of the
/// corpus); 0 means the input ran and passed every check.
constexpr int fuzz_input_rejected = -1;

/// Runs a POP3 session on \a data as the client's bytes, against a small Maildir that the first
/// call creates. Checks that the output consists of whole CR LF lines, that the session releases
/// the mailbox lock and every descriptor, and that messages vanish only after a QUIT whose reply
/// reached the client. Rejects inputs that could make the session sleep for the password delay.
/// Aborts the process when a check fails.
int fuzz_session(const std::uint8_t* data, std::size_t size);

/// Sends \a data as one message file with send_mail_file and compares the output byte for byte
/// with fuzz_expected_wire, and with send_mail_top for a line count that the input decides and
/// for the largest one, compared with fuzz_expected_top. Also checks that a failing output is
/// reported. Aborts the process when a check fails.
int fuzz_transmission(const std::uint8_t* data, std::size_t size);

/// Parses \a data as a netrc file, checks the invariants of the entry list, looks up a few host and
/// user pairs and compares the answers with the reference parser's entries, then frees the list.
/// Aborts the process when a check fails.
int fuzz_netrc(const std::uint8_t* data, std::size_t size);

/// The bytes that the transmission of a message file with the content \a file must put on the
/// wire, worked out independently of the server's code: every LF that no CR precedes becomes
/// CR LF, a non-empty file that does not end with LF gets a final CR LF, and every line that then
/// begins with '.' gets one more '.' in front. Nothing else changes: NUL bytes and lone CRs pass.
std::string fuzz_expected_wire(std::string_view file);

/// What TOP with \a body_lines must send of a message whose whole transmission is \a wire (as
/// fuzz_expected_wire gives it), worked out from those bytes alone: the wire's lines are the
/// stretches that CR LF ends, and an empty line is CR LF alone. Its lines up to and including
/// the first empty one (all of them when there is none), then at most \a body_lines more.
std::string fuzz_expected_top(std::string_view wire, std::uint64_t body_lines);

/// Writes "fuzz check failed: <what>" to standard error and aborts.
[[noreturn]] void fuzz_fail(const char* what);

/// A file in memory that collects what is written to its descriptor and takes at most a budget of
/// bytes: a write that would go past it fails, as with a client that went away.
struct capture_sink {
  unique_fd fd;

  /// Everything written so far.
  std::string bytes() const;
};

/// A capture that takes at most \a budget bytes (SIZE_MAX: no limit); aborts when it cannot be
/// made.
capture_sink fuzz_open_capture(std::size_t budget = SIZE_MAX);

/// Creates or truncates the file \a path and writes \a content into it; aborts when it cannot.
void fuzz_write_file(const std::string& path, std::string_view content);

/// A file in memory that holds \a content, open for reading at its start; aborts when it cannot
/// be made.
unique_fd fuzz_memory_file(std::string_view content);

/// A scratch directory for the calling process, created on first use and removed at exit.
const std::string& fuzz_scratch_dir();

}  // namespace fernd

#endif  // FERND_FUZZ_TARGETS_FUZZ_TARGETS_H_
