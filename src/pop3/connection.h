// The bytes between a POP3 session and its client: one input buffer and one output buffer of
// fernd's own over an input and an output descriptor (in standalone mode the same socket twice).
// Commands are handed out as lines from the input buffer; replies and message bodies are formed in
// the output buffer and leave in large writes, when the session is about to wait or the buffer is
// full. Nothing here goes through stdio, and every byte that held a password is ours to wipe.
#ifndef FERND_POP3_CONNECTION_H_
#define FERND_POP3_CONNECTION_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/limits.h"

namespace fernd {

/// Room for what one read of the client brings: several pipelined commands, and always at least
/// one whole command line.
inline constexpr std::size_t connection_input_size = 4096;
static_assert(connection_input_size >= pop3_line_size);

/// Room for the output gathered before it is written: a long reply leaves in writes of this size.
inline constexpr std::size_t connection_output_size = 64 * 1024;

/// One client connection as a session sees it. The descriptors are borrowed: the caller opens and
/// closes them. Input bytes live in input[input_start, input_end); output bytes wait in
/// output[0, output_used), where output is the connection's own buffer or, while a long message is
/// sent, the larger buffer of a wide transfer (connection_wide_output). The own buffers are wiped
/// when the connection ends; the transfer memory is given back to the kernel.
struct connection {
  int input_fd = -1;
  int output_fd = -1;
  std::size_t input_start = 0;  ///< first byte not yet handed out as a line
  std::size_t input_end = 0;    ///< end of the bytes read
  std::size_t output_used = 0;  ///< bytes waiting to be written
  /// Set by the first write that fails; from then on output is dropped and every output call
  /// reports the failure.
  bool output_failed = false;
  std::size_t input_touched = 0;   ///< how far reads have ever filled the input buffer
  std::size_t output_touched = 0;  ///< how far output has ever filled the own output buffer
  /// Where output gathers now: own_output, or the buffer of a wide transfer
  /// (connection_wide_output) while a long message is sent. It lies
  /// before the buffers, with the other fields: a session that never fills its buffers touches
  /// none of their pages.
  std::span<char> output;
  /// Memory mapped for the transfer of a long message; empty while the session waits for input.
  std::span<char> transfer_memory;
  std::array<char, connection_input_size> input;        // left uninitialised: read before use
  std::array<char, connection_output_size> own_output;  // likewise: written before it is sent

  connection(int input_descriptor, int output_descriptor) noexcept
      : input_fd(input_descriptor), output_fd(output_descriptor) {
    output = own_output;
  }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  /// Wipes both buffers as far as they were ever used: the input held passwords, the output mail.
  ~connection();
};

/// What read_line found.
enum class line_status {
  ready,         ///< a command line is handed out
  input_error,   ///< end of input, a read error or the idle limit, a line too long, a NUL byte
  output_error,  ///< a reply could not be written: no further command is read
  deadline,      ///< the login deadline (common/deadline.h) passed before a whole line arrived
};

/// Whether read_line looks at the output before it hands out a line.
enum class output_check {
  before_reading,  ///< a failed write ends the dialogue before the next command
  skipped,         ///< the line is read whatever became of the replies
};

/// One command line, or why there is none. The text lies in the connection's input buffer, its line
/// end replaced by a NUL, and stays valid until the next read_line or connection_wipe_input.
struct command_line {
  line_status status = line_status::input_error;
  char* text = nullptr;
};

/// The one call before each command. Writes every reply that waits, so that each reply leaves
/// before the next command is read; then, unless \a check skips it, reports output_error when any
/// write has failed. Otherwise hands out the next LF-terminated line without its LF and one CR
/// before it, reading (and going on after EINTR) when no whole line is buffered. Once the login
/// deadline has passed it reports that, whether it waited to read or to write. A line of more
/// than pop3_line_size - 2 characters before its LF, a line holding a NUL byte, and input that
/// ends without LF are input errors.
[[nodiscard]] command_line read_line(connection& c,
                                     output_check check = output_check::before_reading);

/// Overwrites every byte of input already handed out, and whatever earlier reads left behind the
/// bytes still to be read; those are kept, moved to the front. Called right after a password check.
void connection_wipe_input(connection& c);

/// Appends \a bytes to the output, writing the buffer whenever it fills. Returns false when a write
/// failed, now or before; the bytes are then dropped.
[[nodiscard]] bool connection_put(connection& c, std::string_view bytes);

/// Appends a short reply whose failure need not be acted on at once: a failed write is recorded in
/// the connection, and the next read_line or connection_flush reports it.
inline void connection_send(connection& c, std::string_view bytes) {
  (void)connection_put(c, bytes);
}

/// Room for at least \a size bytes (at most the output buffer's size) at the end of the output,
/// writing the buffer first when it has less. Empty when a write failed, now or before. What is
/// formed there counts once connection_commit is called.
[[nodiscard]] std::span<char> connection_reserve(connection& c, std::size_t size);

/// Counts \a size bytes formed in the room that connection_reserve gave as output.
inline void connection_commit(connection& c, std::size_t size) {
  c.output_used += size;
}

/// Writes every byte that waits, going on after short writes and after EINTR (until the login
/// deadline has passed). Returns false when a write
/// failed, now or before.
[[nodiscard]] bool connection_flush(connection& c);

/// page_memory_huge_page bytes for the transfer of a long message (page_memory_map_huge), mapped
/// at the first call and unmapped right before the session next waits for its client, or when the
/// connection ends: an idle session holds none of it, and the unmapping never delays the end of a
/// reply. Empty when there is no memory.
[[nodiscard]] std::span<char> connection_transfer_memory(connection& c);

/// A wide transfer: while it lives, output gathers in the buffer it was given (the caller's
/// memory, at least connection_output_size bytes, such as part of the transfer memory), so that a
/// long message leaves in fewer, larger writes, and the connection's own buffer stays small for
/// the rest of the session. The bytes waiting move along. When it ends, output gathers in the own
/// buffer again: of the bytes waiting, the last ones (up to half the own buffer) move back, to
/// leave with what comes next, and the rest is written now; a failed write is recorded in the
/// connection. A transfer that the release of the transfer memory ended first has nothing left to
/// do.
struct connection_wide_output {
  connection_wide_output(connection& client, std::span<char> buffer);
  ~connection_wide_output();
  connection_wide_output(const connection_wide_output&) = delete;
  connection_wide_output& operator=(const connection_wide_output&) = delete;

  connection& c;
};

}  // namespace fernd

#endif  // FERND_POP3_CONNECTION_H_
