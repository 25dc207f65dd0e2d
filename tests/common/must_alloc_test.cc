#include "common/must_alloc.h"
#include "common/exit_status.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "support/child_process.h"

namespace fernd {
namespace {

TEST(MustAsprintf, FormatsLikePrintf) {
  EXPECT_EQ("password for alice at localhost: ",
            must_asprintf("password for %s at %s: ", "alice", "localhost"));
  EXPECT_EQ("", must_asprintf("%s", ""));
  const std::string long_text(5000, 'x');
  EXPECT_EQ(long_text + "!", must_asprintf("%s!", long_text.c_str()));
}

TEST(MustStrndup, StopsAtLengthOrNul) {
  EXPECT_EQ("ab", must_strndup("abc", 2));
  EXPECT_EQ("abc", must_strndup("abc", 10));
}

TEST(MustResize, GrowsWithNulAndShrinks) {
  std::string text = "abc";
  must_resize(&text, 1003);
  ASSERT_EQ(1003u, text.size());
  EXPECT_EQ("abc", text.substr(0, 3));
  EXPECT_EQ(std::string(1000, '\0'), text.substr(3));
  must_resize(&text, 2);
  EXPECT_EQ("ab", text);
}

// What a must_* function that cannot get its memory must leave behind: the system's text for
// ENOMEM and a newline on standard error, and status 3.
void expect_died_of_nomem(const child_outcome& outcome) {
  ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << "wait status " << outcome.wait_status;
  EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
  EXPECT_EQ(std::string(std::strerror(ENOMEM)) + "\n", outcome.err);
}

TEST(MustDieNomem, WritesEnomemTextAndExitsWithThree) {
  expect_died_of_nomem(run_in_child([] { must_die_nomem(); }));
}

TEST(MustResize, SizeBeyondAnyStringEndsTheProcess) {
  // Refused before any allocation is tried, so this works under the sanitizers as well.
  expect_died_of_nomem(run_in_child([] {
    std::string text;
    must_resize(&text, SIZE_MAX - 1);
  }));
}

#ifndef FERND_TEST_ASAN
// The address-space limit that makes the allocations below fail: far above what the test binary
// needs to run, far below what they ask for.
constexpr rlim_t small_address_space = 256u << 20;

void limit_address_space() {
  const rlimit limit{small_address_space, small_address_space};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) {
    ::_exit(child_returned_status + 1);
  }
}

std::string filled(std::size_t size) {
  std::string text;
  must_resize(&text, size);
  std::memset(text.data(), 'x', text.size());
  return text;
}

// Marks on standard error that the preparations are over, so that only the call after it can have
// run out of memory.
void ready() {
  std::fputs("ready\n", stderr);
}
#endif

TEST(MustAlloc, ExhaustedAddressSpaceEndsTheProcess) {
#ifdef FERND_TEST_ASAN
  // AddressSanitizer reserves terabytes of shadow memory up front, so an address-space limit
  // stops it rather than the allocation under test; the release build covers this.
  GTEST_SKIP() << "RLIMIT_AS cannot be used under AddressSanitizer";
#else
  struct exhaust_case {
    const char* name;
    std::function<void()> body;
  };
  const exhaust_case cases[] = {
      {"must_resize",
       [] {
         std::string text = filled(1000);
         ready();
         must_resize(&text, small_address_space);
       }},
      {"must_asprintf",
       [] {
         const std::string quarter = filled(small_address_space / 4);
         ready();
         const char* q = quarter.c_str();
         (void)must_asprintf("%s%s%s%s", q, q, q, q);
       }},
      {"must_strdup",
       [] {
         const std::string half = filled(small_address_space / 2);
         ready();
         (void)must_strdup(half.c_str());
       }},
      {"must_strndup",
       [] {
         const std::string half = filled(small_address_space / 2);
         ready();
         (void)must_strndup(half.c_str(), half.size());
       }},
  };
  for (const exhaust_case& c : cases) {
    SCOPED_TRACE(c.name);
    const child_outcome outcome = run_in_child([&c] {
      limit_address_space();
      c.body();
    });
    ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << "wait status " << outcome.wait_status;
    EXPECT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status));
    EXPECT_EQ("ready\n" + std::string(std::strerror(ENOMEM)) + "\n", outcome.err);
  }
#endif
}

}  // namespace
}  // namespace fernd
