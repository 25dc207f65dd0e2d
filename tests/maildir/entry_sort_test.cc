#include "maildir/entry_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "maildir/maildir.h"

namespace fernd {
namespace {

constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
// The widest span of seconds that the sort still folds into one number per entry.
constexpr std::int64_t widest_folded_span = (std::int64_t{1} << 34) - 1;

// Entries with distinct names, as a directory gives them; each name is stored by the test.
struct entry_table {
  std::vector<std::string> names;
  std::vector<mail_entry> entries;
};

// Adds an entry named \a name with the given time; its size tells it apart from every other.
void add(entry_table* table, std::string name, std::int64_t sec, std::int32_t nsec) {
  table->names.push_back(std::move(name));
  mail_entry entry;
  entry.file_size = table->entries.size();
  entry.mtime_sec = sec;
  entry.mtime_nsec = nsec;
  table->entries.push_back(entry);
}

// Points every entry at its stored name; done once the table is complete, as names may move
// while it grows.
void link_names(entry_table* table) {
  for (std::size_t i = 0; i < table->entries.size(); ++i) {
    table->entries[i].name = table->names[i].c_str();
    table->entries[i].name_size = static_cast<std::uint8_t>(table->names[i].size());
  }
}

// \a count entries named by a random number (distinct, in no order), with seconds drawn from
// [first_sec, first_sec + sec_span] and nanoseconds from [0, nsec_max].
entry_table random_table(std::size_t count, std::int64_t first_sec, std::int64_t sec_span,
                         std::int32_t nsec_max, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<std::int64_t> sec(0, sec_span);
  std::uniform_int_distribution<std::int32_t> nsec(0, nsec_max);
  entry_table table;
  for (std::size_t i = 0; i < count; ++i) {
    add(&table, std::to_string(random() % 1'000'000'007) + "." + std::to_string(i),
        first_sec + sec(random), nsec(random));
  }
  return table;
}

// Every entry of \a sorted in mail_entry_compare order, and the same entries as \a original.
void expect_sorted_permutation(const std::vector<mail_entry>& original,
                               const std::vector<mail_entry>& sorted) {
  std::vector<mail_entry> expected = original;
  std::stable_sort(expected.begin(), expected.end(), [](const mail_entry& a, const mail_entry& b) {
    return mail_entry_compare(a, b) < 0;
  });
  ASSERT_EQ(expected.size(), sorted.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(expected[i].name, sorted[i].name);
    ASSERT_EQ(expected[i].file_size, sorted[i].file_size);
    ASSERT_EQ(expected[i].mtime_sec, sorted[i].mtime_sec);
    ASSERT_EQ(expected[i].mtime_nsec, sorted[i].mtime_nsec);
    ASSERT_EQ(expected[i].name_size, sorted[i].name_size);
  }
}

TEST(MailEntrySort, OrdersLikeTheComparison) {
  struct sort_case {
    const char* what;
    std::function<entry_table()> make;
  };
  const std::vector<sort_case> cases = {
      {"no entry", [] { return entry_table{}; }},
      {"one entry", [] { return random_table(1, 100, 0, 0, 1); }},
      {"two entries, newest first",
       [] {
         entry_table t;
         add(&t, "a", 200, 0);
         add(&t, "b", 100, 0);
         return t;
       }},
      {"many seconds, no nanoseconds",
       [] { return random_table(20'000, 1'700'000'000, 10'000'000, 0, 2); }},
      {"one second, every nanosecond different",
       [] { return random_table(5'000, 1'700'000'000, 0, 999'999'999, 3); }},
      {"few times, many equal ones ordered by name",
       [] { return random_table(5'000, 1'700'000'000, 3, 2, 4); }},
      {"times before and after 1970", [] { return random_table(5'000, -100'000, 200'000, 9, 5); }},
      {"the widest span that is folded, at both ends of it",
       [] {
         entry_table t = random_table(1'000, -5, widest_folded_span, 999'999'999, 6);
         add(&t, "oldest", -5, 0);
         add(&t, "newest", -5 + widest_folded_span, 999'999'999);
         return t;
       }},
      {"a span too wide to fold",
       [] {
         entry_table t = random_table(1'000, 0, widest_folded_span + 1, 999'999'999, 7);
         add(&t, "near", 0, 5);
         add(&t, "far", widest_folded_span + 1, 5);
         return t;
       }},
      {"the extremes of a 64-bit second",
       [] {
         entry_table t = random_table(1'000, -1000, 2000, 999'999'999, 8);
         add(&t, "first", int64_min, 0);
         add(&t, "last", int64_max, 999'999'999);
         add(&t, "last but one", int64_max, 999'999'998);
         return t;
       }},
      {"equal times: bytes from 0x80 after ASCII, a prefix before longer names",
       [] {
         entry_table t;
         for (const char* name : {"\xc3\xa9t\xc3\xa9", "~", "\x80", "z", "ab", "a", "abc", "A"}) {
           add(&t, name, 100, 0);
         }
         add(&t, "earlier", 99, 999'999'999);
         return t;
       }},
      {"already in order",
       [] {
         entry_table t;
         for (int i = 0; i < 3'000; ++i) {
           add(&t, std::to_string(i), 1'000 + i / 3, i % 3);
         }
         return t;
       }},
      {"in reverse order",
       [] {
         entry_table t;
         for (int i = 3'000; i > 0; --i) {
           add(&t, std::to_string(i), 1'000 + i, 0);
         }
         return t;
       }},
  };
  for (const sort_case& c : cases) {
    SCOPED_TRACE(c.what);
    entry_table table = c.make();
    link_names(&table);
    std::vector<mail_entry> sorted = table.entries;
    mail_entry_sort(sorted.data(), sorted.size());
    expect_sorted_permutation(table.entries, sorted);
  }
}

}  // namespace
}  // namespace fernd
