// Memory for the large arrays of a scan, which are written in full as soon as they are made. A
// big mailbox writes thousands of fresh pages at login, and on some machines (virtual ones above
// all) each first write is slow: such memory is asked for at once rather than a fault per page,
// and where an array spans whole transparent huge pages (2 MiB) it is placed on them, one fault
// for 512 pages. The measurements behind this are in docs/performance.md.
#ifndef FERND_COMMON_PAGE_MEMORY_H_
#define FERND_COMMON_PAGE_MEMORY_H_

#include <cstddef>
#include <new>
#include <span>

namespace fernd {

/// The size of a transparent huge page on the machines fernd runs on (x86-64, arm64 with 4 KiB
/// pages). Elsewhere the advice is merely ignored.
inline constexpr std::size_t page_memory_huge_page = std::size_t{2} << 20;

/// Allocates \a size bytes that the caller is about to write in full, their pages present at
/// once; from page_memory_huge_page bytes on, aligned to a huge page, with huge pages advised on
/// every whole one. Throws std::bad_alloc when memory runs out.
void* page_memory_allocate(std::size_t size);

/// Frees \a data, allocated by page_memory_allocate with the same \a size.
void page_memory_free(void* data, std::size_t size) noexcept;

/// Gives the whole pages after the first \a used bytes of \a data (allocated with \a size bytes)
/// back to the kernel, so that memory made larger than it turned out to be needed costs nothing
/// beyond what is used. Those pages read as zeros should they be touched again.
void page_memory_release_tail(void* data, std::size_t used, std::size_t size) noexcept;

/// Maps page_memory_huge_page bytes aligned to a huge page, on one where the kernel has them,
/// every page present at once. Empty when there is no memory. Mapped rather than allocated: the
/// memory goes back to the kernel the moment page_memory_unmap_huge is called, where freed
/// memory of the allocator would stay in the process, and a mapping can be aligned to the huge
/// page that holds it whole.
[[nodiscard]] std::span<char> page_memory_map_huge();

/// Gives memory that page_memory_map_huge mapped back to the kernel. Does nothing to an empty
/// span.
void page_memory_unmap_huge(std::span<char> memory) noexcept;

/// Frees a block of page memory of \a size bytes: the deleter of its owning pointer.
struct page_memory_deleter {
  std::size_t size = 0;
  void operator()(char* data) const noexcept { page_memory_free(data, size); }
};

/// page_memory as the allocator of a standard container, for an array reserved once at its final
/// size (each growth of a vector would allocate, and prefault, anew).
template <typename T>
struct page_allocator {
  using value_type = T;

  page_allocator() = default;
  // A container makes the allocators of its own parts from this one.
  template <typename U>
  page_allocator(const page_allocator<U>& /*unused*/) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw std::bad_alloc();
    }
    return static_cast<T*>(page_memory_allocate(n * sizeof(T)));
  }
  void deallocate(T* data, std::size_t n) noexcept { page_memory_free(data, n * sizeof(T)); }

  friend bool operator==(const page_allocator&, const page_allocator&) { return true; }
};

}  // namespace fernd

#endif  // FERND_COMMON_PAGE_MEMORY_H_
