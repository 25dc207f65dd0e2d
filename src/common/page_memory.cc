// Memory for the large arrays of a snapshot: prefaulted pages, on transparent huge pages where
// whole ones fit, and the release of what a block leaves unused.
#include "common/page_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace fernd {
namespace {

constexpr std::align_val_t huge_page_alignment{page_memory_huge_page};

std::uintptr_t page_size() {
  static const auto size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Applies \a advice to the whole pages of \a alignment within [data, data + size). Best effort: a
// kernel without that advice leaves the memory as it was.
void advise(void* data, std::size_t size, std::uintptr_t alignment, int advice) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + alignment - 1) & ~(alignment - 1);
  const std::uintptr_t end = (start + size) & ~(alignment - 1);
  if (end > begin) {
    (void)::madvise(reinterpret_cast<void*>(begin), end - begin, advice);
  }
}

}  // namespace

void* page_memory_allocate(std::size_t size) {
  void* data = nullptr;
  if (size >= page_memory_huge_page) {
    data = ::operator new(size, huge_page_alignment);
    advise(data, size, page_memory_huge_page, MADV_HUGEPAGE);
  } else {
    data = ::operator new(size);
  }
  advise(data, size, page_size(), MADV_POPULATE_WRITE);
  return data;
}

void page_memory_free(void* data, std::size_t size) noexcept {
  if (size >= page_memory_huge_page) {
    ::operator delete(data, huge_page_alignment);
  } else {
    ::operator delete(data);
  }
}

std::span<char> page_memory_map_huge() {
  constexpr std::size_t size = page_memory_huge_page;
  // Twice the size is mapped, and all but an aligned part of it given back.
  void* const region =
      ::mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) {
    return {};
  }
  const auto start = reinterpret_cast<std::uintptr_t>(region);
  const std::uintptr_t aligned = (start + size - 1) & ~(std::uintptr_t{size} - 1);
  if (aligned > start) {
    (void)::munmap(region, aligned - start);
  }
  if (start + 2 * size > aligned + size) {
    (void)::munmap(reinterpret_cast<void*>(aligned + size), start + 2 * size - (aligned + size));
  }
  const std::span<char> memory{reinterpret_cast<char*>(aligned), size};
  // Best effort: without huge pages or the populate advice, the pages fault in one by one.
  (void)::madvise(memory.data(), size, MADV_HUGEPAGE);
  (void)::madvise(memory.data(), size, MADV_POPULATE_WRITE);
  return memory;
}

void page_memory_unmap_huge(std::span<char> memory) noexcept {
  if (!memory.empty()) {
    (void)::munmap(memory.data(), memory.size());
  }
}

void page_memory_release_tail(void* data, std::size_t used, std::size_t size) noexcept {
  char* const tail = static_cast<char*>(data) + used;
  advise(tail, size - used, page_size(), MADV_DONTNEED);
  if (size >= page_memory_huge_page) {
    // Otherwise the kernel's background collapsing could make the huge page whole again, pages
    // given back included.
    advise(tail, size - used, page_size(), MADV_NOHUGEPAGE);
  }
}

}  // namespace fernd
