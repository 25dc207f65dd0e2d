// The name store of a snapshot: how its blocks grow, where they are placed, and what of the last
// one is given back.
#include "maildir/name_store.h"

#include <algorithm>
#include <cstring>

namespace fernd {
namespace {

// Blocks double from the first size to the largest: a small mailbox takes less than a page (every
// page a session touches costs it a fault), a big one few blocks. Once the blocks hold a huge
// page's worth, a big mailbox is certain: from then on each block is a whole huge page.
constexpr std::size_t name_store_first_block = 1024;
constexpr std::size_t name_store_largest_block = 64 * 1024;

}  // namespace

void name_store_add(name_store* store, const char* name, std::size_t size) {
  const std::size_t needed = size + 3;  // length, name, NUL, and the end mark after them
  if (store->blocks.empty() || store->block_size - store->block_used < needed) {
    const std::size_t next_size =
        store->total_size >= page_memory_huge_page
            ? page_memory_huge_page
            : std::clamp(2 * store->block_size, name_store_first_block, name_store_largest_block);
    const std::size_t new_block_size = std::max(next_size, needed);
    // Room in the list first: were it to fail after the new block was made, the block would leak.
    if (store->blocks.capacity() == store->blocks.size()) {
      store->blocks.reserve(std::max<std::size_t>(8, 2 * store->blocks.size()));
    }
    store->blocks.emplace_back(static_cast<char*>(page_memory_allocate(new_block_size)),
                               page_memory_deleter{new_block_size});
    store->block_size = new_block_size;
    store->total_size += new_block_size;
    store->block_used = 0;
  }
  char* at = store->blocks.back().get() + store->block_used;
  at[0] = static_cast<char>(size);
  std::memcpy(at + 1, name, size);
  at[size + 1] = '\0';
  at[size + 2] = '\0';  // the end mark, overwritten by the next name
  store->block_used += size + 2;
}

void name_store_seal(name_store* store) noexcept {
  if (!store->blocks.empty()) {
    // Past the end mark after the last name, the rest of the last block is not needed.
    page_memory_release_tail(store->blocks.back().get(), store->block_used + 1, store->block_size);
  }
}

void name_store_clear(name_store* store) noexcept {
  decltype(store->blocks){}.swap(store->blocks);
  store->block_used = 0;
  store->block_size = 0;
  store->total_size = 0;
}

}  // namespace fernd
