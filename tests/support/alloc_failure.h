// Memory exhaustion on demand: the test binary replaces the global operator new so that one chosen
// allocation throws std::bad_alloc, as it would when memory runs out.
#ifndef FERND_TESTS_SUPPORT_ALLOC_FAILURE_H_
#define FERND_TESTS_SUPPORT_ALLOC_FAILURE_H_

#include <string_view>

namespace fernd {

/// While it lives, the \a n-th allocation through operator new (counting from 1, any form of
/// new) throws std::bad_alloc; every other allocation behaves normally. Not nestable.
struct failing_allocation {
  explicit failing_allocation(long n);
  ~failing_allocation();
  failing_allocation(const failing_allocation&) = delete;
  failing_allocation& operator=(const failing_allocation&) = delete;

  /// True once the chosen allocation has been refused.
  bool happened() const;
};

/// While it lives, every block that operator delete gives back is searched for \a needle first:
/// for tests that a secret is wiped before its memory goes back. Not nestable.
struct freed_memory_watch {
  explicit freed_memory_watch(std::string_view needle);
  ~freed_memory_watch();
  freed_memory_watch(const freed_memory_watch&) = delete;
  freed_memory_watch& operator=(const freed_memory_watch&) = delete;

  /// How many blocks given back so far held the needle.
  int hits() const;
};

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_ALLOC_FAILURE_H_
