// The bodies of the fuzz targets. libFuzzer calls them from the fuzzer executables, and the normal
// test suite replays the committed seed corpus and regression inputs through them, so that an
// input which once found a fault keeps being checked in every build.
#ifndef FERND_FUZZ_TARGETS_FUZZ_TARGETS_H_
#define FERND_FUZZ_TARGETS_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>
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
/// with fuzz_expected_wire. Also checks that a failing output stream is reported. Aborts the
/// process when a check fails.
int fuzz_transmission(const std::uint8_t* data, std::size_t size);

/// Parses \a data as a netrc file, checks the invariants of the entry list, looks up a few host and
/// user pairs and compares the answers with a plain search of the list, then frees the list.
/// Aborts the process when a check fails.
int fuzz_netrc(const std::uint8_t* data, std::size_t size);

/// The bytes that the transmission of a message file with the content \a file must put on the
/// wire, worked out independently of the server's code: every LF that no CR precedes becomes
/// CR LF, a non-empty file that does not end with LF gets a final CR LF, and every line that then
/// begins with '.' gets one more '.' in front. Nothing else changes: NUL bytes and lone CRs pass.
std::string fuzz_expected_wire(std::string_view file);

/// Writes "fuzz check failed: <what>" to standard error and aborts.
[[noreturn]] void fuzz_fail(const char* what);

/// Collects what a stream writes, and accepts at most `budget` bytes: past that, writes fail and
/// the stream's error indicator is set, as with a client that went away.
struct capture_sink {
  std::string bytes;
  std::size_t budget = SIZE_MAX;
};

/// A write-only stream that appends to \a sink; none when it cannot be opened.
unique_file fuzz_open_capture(capture_sink* sink);

/// A scratch directory for the calling process, created on first use and removed at exit.
const std::string& fuzz_scratch_dir();

}  // namespace fernd

#endif  // FERND_FUZZ_TARGETS_FUZZ_TARGETS_H_
