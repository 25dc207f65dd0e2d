#include "pop3/output_block.h"

#include <cstring>

namespace fernd {

void output_block_write_full(output_block* block) {
  if (block->failed == 0 &&
      std::fwrite(block->bytes.data(), 1, block->used, block->output) != block->used) {
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
  return block->failed;
}

}  // namespace fernd
