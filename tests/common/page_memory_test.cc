#include "common/page_memory.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace fernd {
namespace {

constexpr std::size_t huge = page_memory_huge_page;

TEST(PageMemory, GivesWritableMemoryAlignedToHugePagesWhenLarge) {
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{5000}, huge - 1, huge, huge + 1, 2 * huge + 4096 + 7}) {
    SCOPED_TRACE(size);
    auto* data = static_cast<unsigned char*>(page_memory_allocate(size));
    ASSERT_NE(nullptr, data);
    if (size >= huge) {
      EXPECT_EQ(0U, reinterpret_cast<std::uintptr_t>(data) % huge);
    }
    std::memset(data, 0xa5, size);
    EXPECT_EQ(0xa5, data[0]);
    EXPECT_EQ(0xa5, data[size - 1]);
    page_memory_free(data, size);
  }
}

TEST(PageMemory, ReleasedTailReadsAsZerosAndTheRestIsKept) {
  struct tail_case {
    std::size_t size;
    std::size_t used;
  };
  for (const tail_case& c : {tail_case{huge, 12'345}, tail_case{huge + 8192, huge + 1},
                             tail_case{64 * 1024, 100}, tail_case{huge, huge}}) {
    SCOPED_TRACE(c.used);
    auto* data = static_cast<unsigned char*>(page_memory_allocate(c.size));
    std::memset(data, 0x5a, c.size);
    page_memory_release_tail(data, c.used, c.size);
    // Every byte in use is as written; the pages after them are as new.
    const std::vector<unsigned char> kept(data, data + c.used);
    EXPECT_EQ(std::vector<unsigned char>(c.used, 0x5a), kept);
    // Only whole pages go back: from the first page boundary at or after the bytes in use to the
    // last one before the end.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t released_begin = (start + c.used + page - 1) / page * page - start;
    const std::uintptr_t released_end = (start + c.size) / page * page - start;
    for (std::size_t at = c.used; at < c.size; ++at) {
      const bool released = at >= released_begin && at < released_end;
      ASSERT_EQ(released ? 0 : 0x5a, data[at]) << at;
    }
    page_memory_free(data, c.size);
  }
}

}  // namespace
}  // namespace fernd
