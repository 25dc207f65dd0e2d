#include "support/alloc_failure.h"

#include <malloc.h>

#include <cstdlib>
#include <new>
#include <string_view>

namespace {

// Allocations still to go before the refused one; 0 when no failure is armed. The tests run
// in one thread, but a sanitizer runtime may allocate from its own; it never uses operator new.
long allocations_left = 0;
bool refused = false;

// The needle of the live freed_memory_watch, and its hits; empty when none is live.
std::string_view watched_needle;
int watched_hits = 0;

void release(void* memory) {
  if (memory != nullptr && !watched_needle.empty()) {
    const std::string_view block(static_cast<const char*>(memory), ::malloc_usable_size(memory));
    if (block.find(watched_needle) != std::string_view::npos) {
      ++watched_hits;
    }
  }
  std::free(memory);
}

void* allocate(std::size_t size, std::size_t alignment = 0) {
  if (allocations_left > 0 && --allocations_left == 0) {
    refused = true;
    throw std::bad_alloc();
  }
  void* memory = nullptr;
  if (alignment == 0) {
    memory = std::malloc(size == 0 ? 1 : size);
  } else if (::posix_memalign(&memory, alignment, size == 0 ? 1 : size) != 0) {
    memory = nullptr;
  }
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}

}  // namespace

namespace fernd {

failing_allocation::failing_allocation(long n) {
  refused = false;
  allocations_left = n;
}

failing_allocation::~failing_allocation() {
  allocations_left = 0;
}

bool failing_allocation::happened() const {
  return refused;
}

freed_memory_watch::freed_memory_watch(std::string_view needle) {
  watched_needle = needle;
  watched_hits = 0;
}

freed_memory_watch::~freed_memory_watch() {
  watched_needle = {};
}

int freed_memory_watch::hits() const {
  return watched_hits;
}

}  // namespace fernd

// Every replaceable form is replaced together, the aligned ones too (the large arrays of a scan
// are aligned), so that a sanitizer runtime never sees memory from one allocator returned to
// another.
void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* memory) noexcept {
  release(memory);
}
void operator delete[](void* memory) noexcept {
  release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  release(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
  release(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  release(memory);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory, std::align_val_t) noexcept {
  release(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept {
  release(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
  release(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
  release(memory);
}
