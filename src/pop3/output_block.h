// Gathering the bytes of a long reply (a message body, a LIST or UIDL listing) and handing them to
// the output stream in large blocks, so that a reply of many lines leaves in few system calls.
#ifndef FERND_POP3_OUTPUT_BLOCK_H_
#define FERND_POP3_OUTPUT_BLOCK_H_

#include <array>
#include <cstddef>
#include <cstdio>

namespace fernd {

/// Size of one block handed to the output stream. A multiple of the stream's own buffer size
/// (4096 on pipes and sockets): a line-buffered stream with an empty buffer then passes the block
/// on in two writes and keeps nothing back. 64 KiB makes that about 32 writes per MiB.
constexpr std::size_t output_block_size = 64 * 1024;

/// A fixed staging buffer in front of an output stream. Lives on the caller's stack; allocates
/// nothing. After a short write it drops everything it is given and reports the failure.
struct output_block {
  std::FILE* output;
  std::size_t used = 0;
  int failed = 0;                             ///< 1 once the stream refused part of a block
  std::array<char, output_block_size> bytes;  // left uninitialised: every byte is written first

  explicit output_block(std::FILE* stream) noexcept : output(stream) {}
  output_block(const output_block&) = delete;
  output_block& operator=(const output_block&) = delete;
};

/// Hands the full buffer to the stream with one fwrite and empties it.
void output_block_write_full(output_block* block);

/// Appends \a size bytes, handing over each block as it fills.
void output_block_put(output_block* block, const char* data, std::size_t size);

/// Appends one byte.
inline void output_block_put_char(output_block* block, char c) {
  if (block->used == block->bytes.size()) {
    output_block_write_full(block);
  }
  block->bytes[block->used++] = c;
}

/// Hands the bytes still held to the stream and flushes it, so that the reply has left in full.
/// Returns 0, or 1 when any write or the flush came up short.
int output_block_finish(output_block* block);

}  // namespace fernd

#endif  // FERND_POP3_OUTPUT_BLOCK_H_
