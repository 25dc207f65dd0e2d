#include "common/memory_prefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace fernd {

void memory_prefault(void* data, std::size_t size) {
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + page - 1) & ~(page - 1);
  const std::uintptr_t end = (start + size) & ~(page - 1);
  if (end > begin) {
    (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
  }
}

}  // namespace fernd
