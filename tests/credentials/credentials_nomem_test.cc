// Memory exhaustion anywhere in the credentials ends the process with the system's text for
// ENOMEM and status 3: every allocation on each path below is refused in turn.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "common/exit_status.h"
#include "common/must_alloc.h"
#include "credentials/netrc.h"
#include "credentials/password.h"
#include "support/alloc_failure.h"
#include "support/child_process.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

// Status of a child whose operation met a refused allocation and still returned.
constexpr int swallowed_failure_status = 98;

// More allocations than any path below makes: the sweep must end before.
constexpr long max_allocations = 400;

void sweep_allocations(const char* name, const std::function<void()>& operation) {
  SCOPED_TRACE(name);
  for (long n = 1; n <= max_allocations; ++n) {
    const child_outcome outcome = run_in_child([n, &operation] {
      const failing_allocation failure(n);
      operation();
      ::_exit(failure.happened() ? swallowed_failure_status : child_returned_status);
    });
    ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << "allocation " << n;
    if (WEXITSTATUS(outcome.wait_status) == child_returned_status) {
      EXPECT_GT(n, 1) << "the path allocates nothing, so the sweep shows nothing";
      return;  // every allocation of the path has been refused once
    }
    ASSERT_EQ(exit_status_fatal, WEXITSTATUS(outcome.wait_status)) << "allocation " << n;
    ASSERT_EQ(std::string(std::strerror(ENOMEM)) + "\n", outcome.err) << "allocation " << n;
  }
  ADD_FAILURE() << "more than " << max_allocations << " allocations";
}

TEST(CredentialsMemory, ExhaustionEndsTheProcessWithThree) {
  const temp_maildir home;  // a fresh directory, used as the home directory
  write_file(home.path + "/.netrc",
             "machine other login bob password b\n"
             "machine localhost login alice password 'from netrc'\n");

  sweep_allocations("password_eval, one line", [&] { (void)password_eval("printf 'pw\\r\\n'"); });
  sweep_allocations("password_eval, long line",
                    [&] { (void)password_eval("printf '%1200s\\n' x"); });
  sweep_allocations("password_eval, empty output", [&] { (void)password_eval("printf ''"); });
  const std::string netrc_path = home.path + "/.netrc";
  sweep_allocations("netrc_parse", [&] { (void)netrc_parse(netrc_path.c_str()); });
  // The children set HOME; this process keeps its own.
  sweep_allocations("netrc_lookup, on to a missing system file", [&] {
    ::setenv("HOME", home.path.c_str(), 1);
    (void)netrc_lookup("localhost", "carol", home.path.c_str());
  });
  sweep_allocations("password_get answered from netrc", [&] {
    ::setenv("HOME", home.path.c_str(), 1);
    if (password_get("localhost", "alice", 1, true, false) != "from netrc") {
      ::_exit(swallowed_failure_status + 1);
    }
  });
}

}  // namespace
}  // namespace fernd
