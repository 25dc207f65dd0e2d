// Fuzz target: the transmission of one message file, whole and as TOP sends it. The output must
// equal, byte for byte, what a plain reference transform of the file's bytes predicts; a mail
// client that removes the stuffed dots must get back exactly the message, with only its line ends
// made CR LF, and TOP must send a prefix of that which ends where its lines say.
#include <fcntl.h>
#include <unistd.h>

#include <sys/types.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "common/posix_handle.h"
#include "pop3/connection.h"
#include "pop3/transmission.h"
#include "targets/fuzz_targets.h"

namespace fernd {
namespace {

// The message file, written anew for every input and opened as RETR opens it.
const std::string& message_path() {
  static const std::string path = fuzz_scratch_dir() + "/message";
  return path;
}

// Sends the message file into \a sink through a connection, as RETR does (or as TOP does, with
// \a top_lines), and writes out what the connection holds; returns whether both succeeded.
bool send_message(const capture_sink& sink, std::optional<std::uint64_t> top_lines = {}) {
  const unique_fd message(::open(message_path().c_str(), O_RDONLY | O_CLOEXEC));
  if (message.fd < 0) {
    fuzz_fail("cannot open the message file");
  }
  connection c(-1, sink.fd.fd);
  const bool sent = top_lines.has_value() ? send_mail_top(message.fd, *top_lines, c)
                                          : send_mail_file(message.fd, c);
  const bool flushed = connection_flush(c);
  if (sent && !flushed && !c.output_failed) {
    fuzz_fail("a failed write was not recorded in the connection");
  }
  return sent && flushed;
}

// A number that the input's bytes decide, so that the point of failure moves about the output
// from one input to the next (FNV-1a).
std::uint64_t spread(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  return hash;
}

// Sizes of the blocks in which a message is read and its wire form handed on (send_mail_file's
// read block and the connection's output buffer, and a page). A CR LF pair, a line end or a dot
// split by a block boundary is where a transmission goes wrong, and small fuzz inputs never reach
// one.
constexpr std::size_t block_boundaries[] = {4096, 64 * 1024};

// A filler line that, put before a file, moves a block boundary \a offset bytes into the file. It
// ends with CR LF, so the file still begins a line, and its wire form is itself.
std::string filler_line(std::size_t boundary, std::size_t offset) {
  std::string filler(boundary - offset - 2, 'f');
  filler += "\r\n";
  return filler;
}

// Sends \a file, whole or as TOP with \a top_lines, and aborts unless the output is exactly
// \a expected.
void check_wire(std::string_view file, const std::string& expected,
                std::optional<std::uint64_t> top_lines = {}) {
  fuzz_write_file(message_path(), file);
  const capture_sink full = fuzz_open_capture();
  if (!send_message(full, top_lines)) {
    fuzz_fail("the transmission failed on a working output");
  }
  const std::string bytes = full.bytes();
  if (bytes != expected) {
    std::fprintf(stderr, "file size %zu, expected %zu wire bytes, got %zu\n", file.size(),
                 expected.size(), bytes.size());
    const auto mismatch =
        std::mismatch(expected.begin(), expected.end(), bytes.begin(), bytes.end());
    std::fprintf(stderr, "first difference at wire offset %zu\n",
                 static_cast<std::size_t>(mismatch.first - expected.begin()));
    fuzz_fail(top_lines.has_value() ? "TOP's bytes differ from the reference"
                                    : "transmitted bytes differ from the reference transform");
  }
}

// The wire's number of lines: the CR LF pairs in it.
std::uint64_t wire_lines(std::string_view wire) {
  std::uint64_t count = 0;
  for (std::size_t at = wire.find("\r\n"); at != std::string_view::npos;
       at = wire.find("\r\n", at + 2)) {
    ++count;
  }
  return count;
}

}  // namespace

std::string fuzz_expected_wire(std::string_view file) {
  std::string lines;
  lines.reserve(file.size() + file.size() / 2 + 2);
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\n' && (i == 0 || file[i - 1] != '\r')) {
      lines += '\r';
    }
    lines += file[i];
  }
  if (!file.empty() && file.back() != '\n') {
    lines += "\r\n";
  }

  // Lines are now exactly the stretches ended by CR LF; a lone CR does not end one.
  std::string wire;
  wire.reserve(lines.size() + lines.size() / 2);
  bool line_start = true;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (line_start && lines[i] == '.') {
      wire += '.';
    }
    wire += lines[i];
    line_start = lines[i] == '\n' && i > 0 && lines[i - 1] == '\r';
  }
  return wire;
}

std::string fuzz_expected_top(std::string_view wire, std::uint64_t body_lines) {
  std::size_t at = 0;
  bool in_header = true;
  while (at < wire.size() && (in_header || body_lines > 0)) {
    const std::size_t line_end = wire.find("\r\n", at);
    if (line_end == std::string_view::npos) {
      fuzz_fail("a wire form that does not end with CR LF");
    }
    if (!in_header) {
      --body_lines;
    } else if (line_end == at) {
      in_header = false;
    }
    at = line_end + 2;
  }
  return std::string(wire.substr(0, at));
}

int fuzz_transmission(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::uint64_t hash = spread(file);

  // Across a block boundary first, then alone: the file that is left behind is the input itself.
  const std::size_t boundary = block_boundaries[(hash >> 40) % std::size(block_boundaries)];
  const std::size_t offset = hash % (std::min(size, boundary - 2) + 1);
  const std::string expected = fuzz_expected_wire(file);
  const std::string filler = filler_line(boundary, offset);
  check_wire(filler + std::string(file), filler + expected);
  check_wire(file, expected);

  // TOP: a line count anywhere from none to past the end, behind the filler line (a header line
  // of its own) and alone, and the largest count, which sends what the whole transmission sends.
  const std::uint64_t top_lines = (hash >> 20) % (wire_lines(expected) + 2);
  check_wire(filler + std::string(file), fuzz_expected_top(filler + expected, top_lines),
             top_lines);
  check_wire(file, fuzz_expected_top(expected, top_lines), top_lines);
  check_wire(file, expected, UINT64_MAX);

  // A client that stops reading part way: the failure must be reported, never taken for success.
  if (!expected.empty()) {
    const capture_sink cut = fuzz_open_capture(hash % expected.size());
    if (send_message(cut)) {
      fuzz_fail("a failing output was not reported");
    }
    const std::string bytes = cut.bytes();
    if (expected.compare(0, bytes.size(), bytes) != 0) {
      fuzz_fail("output before the failure differs from the reference transform");
    }
  }
  return 0;
}

}  // namespace fernd
