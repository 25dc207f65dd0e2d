#include "pop3/output_block.h"

#include <stdio_ext.h>

#include <cstring>

namespace fernd {
namespace {

// Hands \a size bytes to a line-buffered stream in few system calls. Handed more than its buffer
// has room for, a stream copies what fits, flushes, writes whole multiples of its buffer size
// directly and then takes the rest one character at a time, with one write per line feed in that
// rest. So every piece handed over here either fits into the buffer as it is, or is a whole
// multiple of the buffer size given to an empty buffer. Returns 0, or 1 when the stream took less
// than it was given.
int stream_write(std::FILE* output, const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t buffer_size = ::__fbufsize(output);
    const std::size_t pending = ::__fpending(output);
    std::size_t piece = size;
    if (buffer_size == 0) {
      piece = 1;  // a stream that has never written has no buffer yet: one byte sets it up
    } else if (size <= buffer_size - pending) {
      piece = size;
    } else if (pending > 0) {
      if (std::fflush(output) == EOF) {
        return 1;
      }
      continue;
    } else if (size >= 2 * buffer_size) {
      piece = size - size % buffer_size;
    } else {
      piece = buffer_size;
    }
    if (std::fwrite(data, 1, piece, output) != piece) {
      return 1;
    }
    data += piece;
    size -= piece;
  }
  return 0;
}

}  // namespace

void output_block_write_full(output_block* block) {
  if (block->failed == 0 && stream_write(block->output, block->bytes.data(), block->used) != 0) {
    block->failed = 1;
  }
  block->used = 0;
}

void output_block_put(output_block* block, const char* data, std::size_t size) {
  while (size > 0) {
    if (block->used == block->bytes.size()) {
      output_block_write_full(block);
    }
    const std::size_t room = block->bytes.size() - block->used;
    const std::size_t part = size < room ? size : room;
    std::memcpy(block->bytes.data() + block->used, data, part);
    block->used += part;
    data += part;
    size -= part;
  }
}

int output_block_finish(output_block* block) {
  if (block->used > 0) {
    output_block_write_full(block);
  }
  if (std::fflush(block->output) == EOF) {
    block->failed = 1;
  }
  return block->failed;
}

}  // namespace fernd
