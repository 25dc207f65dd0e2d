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

void* allocate(std::size_t size) {
  if (allocations_left > 0 && --allocations_left == 0) {
    refused = true;
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
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

// Every replaceable form that allocates or frees through malloc is replaced together, so that a
// sanitizer runtime never sees memory from one allocator returned to another. The aligned forms
// are left alone: they pair only with each other.
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
