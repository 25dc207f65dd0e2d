// The order of a snapshot's entries: a radix sort in place of their folded modification times,
// with the comparison sort for small groups, equal times and spans too wide to fold.
#include "maildir/entry_sort.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

namespace fernd {
namespace {

// A time folded into one number: the seconds since the oldest entry's second, above 30 bits of
// nanoseconds (999,999,999 < 2^30). Ordering those numbers orders the times, as long as the
// seconds fit into the 34 bits left, a span of about 544 years.
constexpr int nanosecond_bits = 30;
constexpr std::uint64_t foldable_span = std::uint64_t{1} << (64 - nanosecond_bits);

constexpr int digit_bits = 8;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;

// Ranges this short are left to the comparison sort, which is quicker there than another pass.
constexpr std::size_t comparison_sort_limit = 64;

std::uint64_t folded_time(const mail_entry& entry, std::uint64_t oldest_second) {
  // Unsigned arithmetic: the difference of two signed seconds always fits into 64 bits that way.
  return (static_cast<std::uint64_t>(entry.mtime_sec) - oldest_second) << nanosecond_bits |
         static_cast<std::uint32_t>(entry.mtime_nsec);
}

void comparison_sort(mail_entry* begin, mail_entry* end) {
  std::sort(begin, end,
            [](const mail_entry& a, const mail_entry& b) { return mail_entry_compare(a, b) < 0; });
}

// Sorts [begin, end), whose folded times agree above bit shift + digit_bits, by the digit of the
// folded time at \a shift, then each group of one digit in turn by the next lower digit, in place:
// each entry is moved straight to its group, one cycle at a time. No memory is needed beyond the
// entries themselves, whose pages the scan has just written: every fresh page costs a fault.
// Times equal in every digit, and short ranges, are ordered by mail_entry_compare, which puts
// equal times in the order of their names.
void radix_sort(mail_entry* begin, mail_entry* end, int shift, std::uint64_t oldest_second) {
  if (static_cast<std::size_t>(end - begin) <= comparison_sort_limit || shift < 0) {
    comparison_sort(begin, end);
    return;
  }
  const auto digit = [shift, oldest_second](const mail_entry& entry) {
    return static_cast<std::size_t>(folded_time(entry, oldest_second) >> shift) &
           (digit_values - 1);
  };
  std::array<std::size_t, digit_values> group_end{};
  for (const mail_entry* e = begin; e != end; ++e) {
    ++group_end[digit(*e)];
  }
  std::array<std::size_t, digit_values> next{};
  std::size_t start = 0;
  for (std::size_t d = 0; d < digit_values; ++d) {
    next[d] = start;
    start += group_end[d];
    group_end[d] = start;
  }
  for (std::size_t d = 0; d < digit_values; ++d) {
    while (next[d] < group_end[d]) {
      mail_entry held = begin[next[d]];
      // Swap the held entry into its group's next free place until one for this group turns up.
      for (std::size_t home = digit(held); home != d; home = digit(held)) {
        std::swap(held, begin[next[home]++]);
      }
      begin[next[d]++] = held;
    }
  }
  std::size_t group_begin = 0;
  for (std::size_t d = 0; d < digit_values; ++d) {
    if (group_end[d] - group_begin > 1) {
      radix_sort(begin + group_begin, begin + group_end[d], shift - digit_bits, oldest_second);
    }
    group_begin = group_end[d];
  }
}

}  // namespace

void mail_entry_sort(mail_entry* entries, std::size_t count) {
  if (count < 2) {
    return;
  }
  const auto [oldest, newest] = std::minmax_element(
      entries, entries + count,
      [](const mail_entry& a, const mail_entry& b) { return a.mtime_sec < b.mtime_sec; });
  const auto oldest_second = static_cast<std::uint64_t>(oldest->mtime_sec);
  if (static_cast<std::uint64_t>(newest->mtime_sec) - oldest_second >= foldable_span) {
    // Times from centuries apart: rare enough for the plain comparison sort.
    comparison_sort(entries, entries + count);
    return;
  }
  // The first digit ends at the highest bit in which any two folded times differ: a mailbox's
  // times seldom differ in their top bits, and so the first pass spreads them over every group.
  std::uint64_t differing_bits = 0;
  const std::uint64_t first = folded_time(entries[0], oldest_second);
  for (std::size_t i = 1; i < count; ++i) {
    differing_bits |= folded_time(entries[i], oldest_second) ^ first;
  }
  const int highest_bit = 63 - std::countl_zero(differing_bits);  // -1 when all times are equal
  const int shift = highest_bit < 0 ? -1 : std::max(highest_bit + 1 - digit_bits, 0);
  radix_sort(entries, entries + count, shift, oldest_second);
}

}  // namespace fernd
