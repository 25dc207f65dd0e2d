// Where a snapshot keeps the names of its entries, and how that memory is placed: blocks that grow
// from less than a page to whole huge pages, the unused tail of the last one given back, and the
// next name asked for from memory ahead of its use while the names are walked.
#ifndef FERND_MAILDIR_NAME_STORE_H_
#define FERND_MAILDIR_NAME_STORE_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "common/page_memory.h"

namespace fernd {

/// The names of a snapshot's entries, each followed by a NUL, packed into blocks. A filled block
/// never moves, so an entry can point into it. Names are added, then the store is sealed, then
/// walked; name_store_clear empties it for the next snapshot.
struct name_store {
  std::vector<std::unique_ptr<char[], page_memory_deleter>> blocks;
  std::size_t block_used = 0;  ///< bytes taken in the last block
  std::size_t block_size = 0;  ///< size of the last block
  std::size_t total_size = 0;  ///< size of all blocks together
};

/// Appends \a name (\a size bytes, at most 255, no NUL among them) to \a store, followed by a NUL.
/// The copy stays in place until the store is cleared. Throws std::bad_alloc when memory runs out;
/// the store is then as it was.
void name_store_add(name_store* store, const char* name, std::size_t size);

/// Gives the unused pages after the last name back to the kernel; no name is added afterwards.
void name_store_seal(name_store* store) noexcept;

/// Frees every block; the store is empty afterwards.
void name_store_clear(name_store* store) noexcept;

/// Asks for the memory at \a address to be brought into the caches for reading, without waiting.
inline void name_store_prefetch(const void* address) {
  __builtin_prefetch(address);
}

/// Calls \a visit(name, size) for every name of \a store, in the order added. Before each call
/// the name after it is asked for: the caller may do work between two names that pushes the store
/// out of the caches (a system call does).
template <typename Visit>
void name_store_for_each(const name_store& store, Visit&& visit) {
  for (const auto& block : store.blocks) {
    // Each name is stored as one byte with its length, the name, a NUL; a zero byte, which no
    // length can be, follows the last name of a block.
    for (const char* at = block.get(); *at != '\0';) {
      const std::size_t size = static_cast<unsigned char>(*at);
      const char* name = at + 1;
      at += size + 2;
      name_store_prefetch(at);
      visit(name, size);
    }
  }
}

}  // namespace fernd

#endif  // FERND_MAILDIR_NAME_STORE_H_
