#include "common/path_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

#include "support/child_process.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

// Users of every Debian system: nobody (group nogroup) and daemon (group daemon). No user has
// the uid stranger.
constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
constexpr uid_t daemon_user = 1;
constexpr gid_t daemon_group = 1;
constexpr uid_t stranger = 4242;

// A tree that a test builds as root, with owners and modes of its choosing, under a temporary
// directory that root alone controls.
struct tree {
  temp_maildir base;  // its new/ is left alone

  std::string path(const std::string& relative) const { return base.path + "/" + relative; }

  void directory(const std::string& relative, uid_t owner, gid_t group, mode_t mode) const {
    const std::string at = path(relative);
    ASSERT_EQ(0, ::mkdir(at.c_str(), 0700)) << at;
    ASSERT_EQ(0, ::chown(at.c_str(), owner, group)) << at;
    ASSERT_EQ(0, ::chmod(at.c_str(), mode)) << at;  // after chown, which clears set-id bits
  }
  void link(const std::string& relative, const std::string& target, uid_t owner) const {
    const std::string at = path(relative);
    ASSERT_EQ(0, ::symlink(target.c_str(), at.c_str())) << at;
    ASSERT_EQ(0, ::lchown(at.c_str(), owner, owner == 0 ? 0 : nogroup)) << at;
  }
};

struct walk_case {
  const char* what;
  std::function<void(const tree&)> make;
  std::string path;  // relative to the tree
  path_trust trust;
  std::string reason;  // empty: the walk succeeds; "$" stands for the tree's path
  std::optional<uid_t> user = std::nullopt;  // whom the trust holds afterwards
  gid_t group = 0;
};

path_trust adopting() {
  path_trust trust;
  trust.adopt = true;
  return trust;
}

// The trust of a fernd that runs as nobody, for a Maildir.
path_trust as_nobody() {
  path_trust trust;
  trust.user = nobody;
  trust.group = nogroup;
  trust.user_name = "nobody";
  trust.last_step_anyones = true;
  trust.suggest_remedy = true;
  return trust;
}

std::string expand(const std::string& text, const std::string& base) {
  std::string out;
  for (const char c : text) {
    if (c == '$') {
      out += base;
    } else {
      out += c;
    }
  }
  return out;
}

TEST(PathWalk, TrustsRootAndAtMostTheOneUserWhoControlsThePath) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "owners other than the process's own need root";
  }
  const walk_case cases[] = {
      {"root's alone: nobody is adopted", [](const tree& t) { t.directory("m", 0, 0, 0755); }, "m",
       adopting(), "", std::nullopt},
      {"a home of nobody's: nobody is adopted",
       [](const tree& t) {
         t.directory("home", nobody, nogroup, 0700);
         t.directory("home/m", 0, 0, 0755);
       },
       "home/m", adopting(), "", nobody, nogroup},
      {"root's link to nobody's directory",
       [](const tree& t) {
         t.directory("m", nobody, nogroup, 0700);
         t.link("l", t.path("m"), 0);
       },
       "l", adopting(), "", nobody, nogroup},
      {"nobody's link to daemon's directory",
       [](const tree& t) {
         t.directory("d", daemon_user, daemon_group, 0700);
         t.directory("home", nobody, nogroup, 0755);
         t.link("home/m", t.path("d"), nobody);
       },
       "home/m", adopting(), "$/d is controlled by daemon, where the path is nobody's", nobody,
       nogroup},
      {"a relative link of nobody's, one level up",
       [](const tree& t) {
         t.directory("d", daemon_user, daemon_group, 0700);
         t.directory("d/m", daemon_user, daemon_group, 0700);
         t.directory("home", nobody, nogroup, 0755);
         t.link("home/up", "../d", nobody);
       },
       "home/up/m", adopting(), "$/d is controlled by daemon, where the path is nobody's", nobody,
       nogroup},
      {"writable by everyone without the sticky bit",
       [](const tree& t) {
         t.directory("shared", 0, 0, 0777);
         t.directory("shared/m", 0, 0, 0755);
       },
       "shared/m", adopting(), "$/shared is writable by everyone"},
      {"an entry of a sticky directory is its owner's",
       [](const tree& t) {
         t.directory("tmp", 0, 0, 01777);
         t.directory("tmp/m", nobody, nogroup, 0700);
       },
       "tmp/m", adopting(), "", nobody, nogroup},
      {"the directory named is a sticky one that everyone may write",
       [](const tree& t) { t.directory("tmp", 0, 0, 01777); }, "tmp", adopting(),
       "$/tmp is writable by everyone"},
      {"root's directory that a group may write",
       [](const tree& t) {
         t.directory("spool", 0, daemon_group, 0775);
         t.directory("spool/m", nobody, nogroup, 0700);
       },
       "spool/m", adopting(), "$/spool is writable by group daemon"},
      {"a user's directory that another group may write",
       [](const tree& t) { t.directory("m", nobody, daemon_group, 0770); }, "m", adopting(),
       "$/m is writable by group daemon beside its owner nobody"},
      {"an owner without a password entry",
       [](const tree& t) { t.directory("m", stranger, stranger, 0700); }, "m", adopting(),
       "$/m belongs to uid 4242, which has no entry in the password database"},
      {"a loop of links",
       [](const tree& t) {
         t.link("a", t.path("b"), 0);
         t.link("b", t.path("a"), 0);
       },
       "a", adopting(), "$/a: Too many levels of symbolic links"},
      {"run as nobody: daemon's directory above the maildir",
       [](const tree& t) {
         t.directory("home", daemon_user, daemon_group, 0755);
         t.directory("home/m", daemon_user, daemon_group, 0755);
       },
       "home/m", as_nobody(), "$/home is controlled by daemon: run fernd as root, or as daemon",
       nobody, nogroup},
      {"run as nobody: the maildir itself may be daemon's",
       [](const tree& t) { t.directory("m", daemon_user, daemon_group, 0700); }, "m", as_nobody(),
       "", nobody, nogroup},
      {"run as nobody: but not one that everyone may write",
       [](const tree& t) { t.directory("m", daemon_user, daemon_group, 01777); }, "m", as_nobody(),
       "$/m is writable by everyone", nobody, nogroup},
      {"run as nobody: a link of daemon's is refused, even the last step",
       [](const tree& t) {
         t.directory("m", nobody, nogroup, 0700);
         t.link("l", t.path("m"), daemon_user);
       },
       "l", as_nobody(), "$/l is controlled by daemon: run fernd as root, or as daemon", nobody,
       nogroup},
      {"run as nobody: its own group may write",
       [](const tree& t) {
         t.directory("spool", 0, nogroup, 0775);
         t.directory("spool/m", daemon_user, daemon_group, 0700);
       },
       "spool/m", as_nobody(), "", nobody, nogroup},
  };
  for (const walk_case& c : cases) {
    SCOPED_TRACE(c.what);
    const tree t;
    c.make(t);
    path_trust trust = c.trust;
    path_found found;
    const bool walked = path_walk(t.path(c.path).c_str(), &trust, &found);
    EXPECT_EQ(c.reason.empty(), walked);
    EXPECT_EQ(expand(c.reason, t.base.path), found.reason);
    EXPECT_EQ(c.user, trust.user);
    if (c.user) {
      EXPECT_EQ(c.group, trust.group);
    }
    if (walked) {
      struct stat expected {};
      ASSERT_EQ(0, ::stat(t.path(c.path).c_str(), &expected));
      EXPECT_EQ(expected.st_ino, found.status.st_ino);
      EXPECT_EQ(O_PATH, ::fcntl(found.fd.fd, F_GETFL) & O_PATH);
    }
  }
}

TEST(PathWalk, FindsAMissingLastStepOnlyWhenAsked) {
  const temp_maildir box;
  const std::string missing = box.path + "/log";
  path_trust trust = path_trust_own();
  path_found found;
  EXPECT_FALSE(path_walk(missing.c_str(), &trust, &found));
  EXPECT_EQ("No such file or directory", found.reason);
  ASSERT_TRUE(path_walk(missing.c_str(), &trust, &found, true));
  EXPECT_EQ(-1, found.fd.fd);
  EXPECT_EQ("log", found.name);
  struct stat directory {};
  ASSERT_EQ(0, ::fstat(found.directory.fd, &directory));
  struct stat expected {};
  ASSERT_EQ(0, ::stat(box.path.c_str(), &expected));
  EXPECT_EQ(expected.st_ino, directory.st_ino);
  // A missing directory on the way is always a failure, and named.
  EXPECT_FALSE(path_walk((box.path + "/none/log").c_str(), &trust, &found, true));
  EXPECT_EQ(box.path + "/none: No such file or directory", found.reason);
}

TEST(PathWalk, RelativePathsAndDotsAreWalkedFromTheRoot) {
  const temp_maildir box;
  const child_outcome outcome = run_in_child([&] {
    if (::chdir((box.path + "/new").c_str()) != 0) {
      std::_Exit(2);
    }
    path_trust trust = path_trust_own();
    path_found found;
    if (!path_walk("../new/./..", &trust, &found)) {
      std::_Exit(3);
    }
    struct stat expected {};
    if (::stat(box.path.c_str(), &expected) != 0 || expected.st_ino != found.status.st_ino) {
      std::_Exit(4);
    }
  });
  EXPECT_EQ(child_returned_status, child_exit_status(outcome.wait_status)) << outcome.err;
}

TEST(PathWalk, StandardErrorIsTheOwnDescriptorOnlyWhenAsked) {
  path_trust trust = path_trust_own();
  trust.own_descriptors = true;
  path_found found;
  ASSERT_TRUE(path_walk("/dev/stderr", &trust, &found)) << found.reason;
  EXPECT_TRUE(found.own_descriptor);
  struct stat standard_error {};
  ASSERT_EQ(0, ::fstat(STDERR_FILENO, &standard_error));
  EXPECT_EQ(standard_error.st_ino, found.status.st_ino);
  EXPECT_NE(STDERR_FILENO, found.fd.fd);  // a copy of its own, closed with the result
  // Without the flag it is a name like any other: the descriptor table is no directory of files.
  trust.own_descriptors = false;
  path_found named;
  (void)path_walk("/dev/stderr", &trust, &named);
  EXPECT_FALSE(named.own_descriptor);
}

}  // namespace
}  // namespace fernd
