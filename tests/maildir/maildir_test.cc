#include "maildir/maildir.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/posix_handle.h"
#include "support/alloc_failure.h"
#include "support/child_process.h"
#include "support/fd_count.h"
#include "support/not_regular_file.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

// The user and group id of "nobody", for tests that need a process without root's rights.
constexpr uid_t unprivileged_id = 65534;

std::vector<std::string> names_of(const maildir_snapshot& snapshot) {
  std::vector<std::string> names;
  for (const mail_entry& entry : snapshot.entries) {
    names.push_back(entry.name);
  }
  return names;
}

void expect_empty(const maildir_snapshot& snapshot) {
  EXPECT_EQ(-1, snapshot.lock_file.fd);
  EXPECT_EQ(0U, snapshot.message_count);
  EXPECT_TRUE(snapshot.entries.empty());
  EXPECT_EQ(0U, snapshot.entries.capacity());
  EXPECT_TRUE(snapshot.names.blocks.empty());
  EXPECT_TRUE(snapshot.directory_path.empty());
  EXPECT_EQ(-1, snapshot.directory.fd);
}

// Record locks belong to a process: only another process can tell whether the lock is free.
// Returns true when a fresh child process takes the lock of \a maildir at once.
bool lockable_by_other_process(const std::string& maildir) {
  child_process child = child_start([&] {
    const unique_fd directory(::open(maildir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const bool locked = maildir_lock(directory.fd, "fernd.lock").fd >= 0;
    return locked ? 0 : 1;
  });
  return child_exit_status(child_wait(&child)) == 0;
}

// A child process that opens \a maildir and holds it. It reports over a pipe, and obeys the
// parent's bytes on another: "c" closes the snapshot and reports again; the end of the pipe
// makes it exit.
struct lock_holder {
  child_process child;
  unique_fd to_child;
  unique_fd from_child;

  /// Starts the child; returns the byte it reported: 'L' when it holds the lock.
  char start(const std::string& maildir) {
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) {
      return '?';
    }
    child = child_start([&] {
      ::close(down[1]);
      ::close(up[0]);
      maildir_snapshot snapshot;
      char report = maildir_open(&snapshot, maildir.c_str()) ? 'L' : 'F';
      char order = 0;
      while (::write(up[1], &report, 1) == 1 && ::read(down[0], &order, 1) == 1) {
        maildir_close(&snapshot);
        report = 'C';
      }
      return 0;  // ends the process and with it any lock it still holds
    });
    ::close(down[0]);
    ::close(up[1]);
    to_child.reset(down[1]);
    from_child.reset(up[0]);
    return next_report();
  }

  char next_report() const {
    char report = '?';
    return ::read(from_child.fd, &report, 1) == 1 ? report : '?';
  }

  /// Lets the child close its snapshot; returns its report, 'C' when it did.
  char close_snapshot() const {
    const char order = 'c';
    return ::write(to_child.fd, &order, 1) == 1 ? next_report() : '?';
  }

  /// Lets the child exit and waits for it; returns its exit status.
  int finish() {
    to_child.reset();
    return child_exit_status(child_wait(&child));
  }
};

class MaildirTest : public testing::Test {
 protected:
  void TearDown() override { maildir_close(&snapshot_); }

  // The path that log lines give a message: the directory the scan read, "/", the name.
  std::string entry_path(const mail_entry& entry) const {
    return snapshot_.directory_path + "/" + entry.name;
  }

  temp_maildir box_;
  maildir_snapshot snapshot_;
};

TEST_F(MaildirTest, OpenListsMessagesWithPathSizeAndTime) {
  box_.add("one", "From: a\n\nbody\n", 1'700'000'000, 5);
  box_.add("two", "x", 1'700'000'001, 0);

  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_GE(snapshot_.lock_file.fd, 0);
  ASSERT_EQ(2U, snapshot_.message_count);
  ASSERT_EQ(2U, snapshot_.entries.size());
  const mail_entry& first = snapshot_.entries[0];
  EXPECT_STREQ("one", first.name);
  EXPECT_EQ(box_.path + "/new/one", entry_path(first));
  EXPECT_EQ(14U, first.file_size);
  EXPECT_EQ(1'700'000'000, first.mtime_sec);
  EXPECT_EQ(5, first.mtime_nsec);
  EXPECT_EQ(0, first.deleted);
  EXPECT_STREQ("two", snapshot_.entries[1].name);
  EXPECT_EQ(1U, snapshot_.entries[1].file_size);
  EXPECT_EQ(0, snapshot_.entries[1].deleted);
}

TEST_F(MaildirTest, OrdersByTimeThenNameBytes) {
  struct file {
    const char* name;
    std::int64_t sec;
    std::int64_t nsec;
  };
  struct order_case {
    const char* what;
    std::vector<file> files;
    std::vector<std::string> expected;
  };
  const std::vector<order_case> cases = {
      {"older second first, whatever the nanoseconds and the names",
       {{"a", 200, 0}, {"b", 100, 999'999'999}, {"c", 150, 1}},
       {"b", "c", "a"}},
      {"same second ordered by nanoseconds",
       {{"a", 100, 7}, {"b", 100, 5}, {"c", 100, 6}, {"d", 100, 0}},
       {"d", "b", "c", "a"}},
      {"equal times: upper case before lower case",
       {{"b", 100, 0}, {"a", 100, 0}, {"B", 100, 0}, {"A", 100, 0}},
       {"A", "B", "a", "b"}},
      {"equal times: a prefix before every longer name",
       {{"abc", 100, 0}, {"ab", 100, 0}, {"abd", 100, 0}, {"a", 100, 0}},
       {"a", "ab", "abc", "abd"}},
      {"equal times: bytes from 0x80 after ASCII (unsigned compare)",
       {{"\xc3\xa9t\xc3\xa9", 100, 0}, {"~", 100, 0}, {"\x80", 100, 0}, {"z", 100, 0}},
       {"z", "~", "\x80", "\xc3\xa9t\xc3\xa9"}},
      {"dot-files take their place by name", {{"m", 100, 0}, {".m", 100, 0}}, {".m", "m"}},
  };
  for (const order_case& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_maildir box;
    for (const file& f : c.files) {
      box.add(f.name, "x", f.sec, f.nsec);
    }
    maildir_snapshot snapshot;
    ASSERT_TRUE(maildir_open(&snapshot, box.path.c_str()));
    EXPECT_EQ(c.expected, names_of(snapshot));
    EXPECT_EQ(c.expected.size(), snapshot.message_count);
    maildir_close(&snapshot);
  }
}

TEST(MailEntryCompare, ComparesSignedTimesThenNames) {
  const auto entry = [](std::int64_t sec, std::int64_t nsec, const char* name) {
    mail_entry e;
    e.mtime_sec = sec;
    e.mtime_nsec = nsec;
    e.name = name;
    return e;
  };
  struct compare_case {
    mail_entry a;
    mail_entry b;
    int sign;
  };
  const compare_case cases[] = {
      {entry(-1, 0, "b"), entry(0, 0, "a"), -1},  // before 1970 is older
      {entry(5, -1, "b"), entry(5, 0, "a"), -1},    {entry(5, 1, "a"), entry(5, 0, "b"), 1},
      {entry(5, 0, "a"), entry(5, 0, "a"), 0},      {entry(5, 0, "a\xff"), entry(5, 0, "a\x01"), 1},
      {entry(5, 0, "a"), entry(5, 0, "a\x01"), -1},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const int result = mail_entry_compare(cases[i].a, cases[i].b);
    EXPECT_EQ(cases[i].sign, (result > 0) - (result < 0));
    const int reverse = mail_entry_compare(cases[i].b, cases[i].a);
    EXPECT_EQ(-cases[i].sign, (reverse > 0) - (reverse < 0));
  }
}

TEST_F(MaildirTest, ListsOnlyRegularFilesFollowingLinks) {
  box_.add("plain", "12", 300, 0);
  box_.add(".dot", "123", 100, 0);
  ASSERT_EQ(0, ::mkdir(box_.new_path("subdir").c_str(), 0700));
  ASSERT_EQ(0, ::mkfifo(box_.new_path("fifo").c_str(), 0600));
  // The link's target lies outside new/ and carries its own size and time.
  const std::string target = box_.path + "/target";
  write_file(target, "12345");
  const timespec target_time[2] = {{200, 9}, {200, 9}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, target.c_str(), target_time, 0));
  ASSERT_EQ(0, ::symlink(target.c_str(), box_.new_path("link").c_str()));
  ASSERT_EQ(0, ::symlink((box_.path + "/nowhere").c_str(), box_.new_path("dangling").c_str()));
  ASSERT_EQ(0, ::symlink(box_.path.c_str(), box_.new_path("dirlink").c_str()));

  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_EQ((std::vector<std::string>{".dot", "link", "plain"}), names_of(snapshot_));
  EXPECT_EQ(3U, snapshot_.message_count);
  const mail_entry& link = snapshot_.entries[1];
  EXPECT_EQ(box_.path + "/new/link", entry_path(link));
  EXPECT_EQ(5U, link.file_size);
  EXPECT_EQ(200, link.mtime_sec);
  EXPECT_EQ(9, link.mtime_nsec);
  EXPECT_EQ(3U, snapshot_.entries[0].file_size);
}

TEST_F(MaildirTest, EmptyNewGivesEmptyListAndHoldsLock) {
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  EXPECT_GE(snapshot_.lock_file.fd, 0);
  EXPECT_EQ(0U, snapshot_.message_count);
  EXPECT_TRUE(snapshot_.entries.empty());
  EXPECT_FALSE(lockable_by_other_process(box_.path));
  maildir_close(&snapshot_);
  EXPECT_TRUE(lockable_by_other_process(box_.path));
}

TEST_F(MaildirTest, NewWithoutRegularFilesGivesEmptyListWithoutArray) {
  ASSERT_EQ(0, ::mkdir(box_.new_path("subdir").c_str(), 0700));
  ASSERT_EQ(0, ::mkfifo(box_.new_path("fifo").c_str(), 0600));
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  EXPECT_GE(snapshot_.lock_file.fd, 0);
  EXPECT_EQ(0U, snapshot_.message_count);
  EXPECT_EQ(0U, snapshot_.entries.capacity());
}

TEST_F(MaildirTest, UnusableMaildirFailsWithItsReasonAndGetsNoLockFile) {
  // A maildir that cannot be served is named with the reason, and no lock file is left where it
  // would be taken for a message (a path that names new/ itself) or would not belong.
  const temp_maildir elsewhere;
  elsewhere.add("important.conf", "root's own\n");
  struct setup_case {
    const char* what;
    std::function<std::string(const temp_maildir& box)> make_unusable;  // gives the path to open
    std::string reason;
  };
  const setup_case cases[] = {
      {"missing", [](const temp_maildir& box) { return box.path + "/absent"; },
       "No such file or directory"},
      {"a regular file",
       [](const temp_maildir& box) {
         write_file(box.path + "/file", "x");
         return box.path + "/file";
       },
       "Not a directory"},
      {"new missing",
       [](const temp_maildir& box) {
         EXPECT_EQ(0, ::rmdir((box.path + "/new").c_str()));
         return box.path;
       },
       "new/: No such file or directory"},
      {"new is a plain file",
       [](const temp_maildir& box) {
         EXPECT_EQ(0, ::rmdir((box.path + "/new").c_str()));
         write_file(box.path + "/new", "not a directory");
         return box.path;
       },
       "new/: Not a directory"},
      {"new/ itself", [](const temp_maildir& box) { return box.path + "/new"; },
       "new/: No such file or directory"},
      {"new is a link to a directory elsewhere",
       [&elsewhere](const temp_maildir& box) {
         EXPECT_EQ(0, ::rmdir((box.path + "/new").c_str()));
         EXPECT_EQ(0, ::symlink((elsewhere.path + "/new").c_str(), (box.path + "/new").c_str()));
         return box.path;
       },
       "new/ is a symbolic link"},
  };
  for (const setup_case& c : cases) {
    SCOPED_TRACE(c.what);
    const temp_maildir box;
    const std::string path = c.make_unusable(box);
    const int fds_before = open_fd_count();
    maildir_snapshot snapshot;
    maildir_failure failure;
    EXPECT_FALSE(maildir_open(&snapshot, path.c_str(), &failure));
    EXPECT_FALSE(failure.lock_held);
    EXPECT_EQ(c.reason, std::string(failure.reason.data()));
    expect_empty(snapshot);
    EXPECT_EQ(fds_before, open_fd_count());
    maildir_failure checked;
    EXPECT_FALSE(maildir_check(path.c_str(), &checked));
    EXPECT_EQ(c.reason, std::string(checked.reason.data()));
    for (const std::string& dir : {box.path, box.path + "/new", elsewhere.path + "/new"}) {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir + "/fernd.lock")))
          << dir;
    }
  }
  EXPECT_TRUE(elsewhere.has("important.conf"));
  maildir_failure none;
  EXPECT_TRUE(maildir_check(box_.path.c_str(), &none));
}

TEST_F(MaildirTest, LockHeldByOtherProcessFailsUntilReleased) {
  box_.add("m", "x");
  {
    lock_holder holder;
    ASSERT_EQ('L', holder.start(box_.path));
    const int fds_before = open_fd_count();
    // F_SETLK never waits: were the lock requested with waiting, this call would hang here.
    maildir_failure failure;
    EXPECT_FALSE(maildir_open(&snapshot_, box_.path.c_str(), &failure));
    EXPECT_TRUE(failure.lock_held);
    expect_empty(snapshot_);
    EXPECT_EQ(fds_before, open_fd_count());

    ASSERT_EQ('C', holder.close_snapshot());  // the holder closes its snapshot but lives on
    EXPECT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
    EXPECT_EQ(1U, snapshot_.message_count);
    maildir_close(&snapshot_);
    EXPECT_EQ(0, holder.finish());
  }
  {
    lock_holder holder;
    ASSERT_EQ('L', holder.start(box_.path));
    EXPECT_FALSE(maildir_open(&snapshot_, box_.path.c_str()));
    EXPECT_EQ(0, holder.finish());  // the holder exits without closing: the lock ends with it
    EXPECT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
    EXPECT_EQ(1U, snapshot_.message_count);
  }
}

TEST_F(MaildirTest, OpenSnapshotKeepsOtherProcessesOut) {
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  lock_holder other;
  EXPECT_EQ('F', other.start(box_.path));
  EXPECT_EQ(0, other.finish());
  EXPECT_FALSE(lockable_by_other_process(box_.path));
}

TEST_F(MaildirTest, StaleLockFileIsTruncatedAndLocked) {
  const std::string lock_path = box_.path + "/fernd.lock";
  write_file(lock_path, "left over from an earlier session\n");
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  // Only stat: opening and closing the lock file here would drop this process's lock.
  struct stat status {};
  ASSERT_EQ(0, ::stat(lock_path.c_str(), &status));
  EXPECT_EQ(0, status.st_size);
  EXPECT_FALSE(lockable_by_other_process(box_.path));
  maildir_close(&snapshot_);
  EXPECT_EQ("", read_file(lock_path));  // the lock file stays, empty
}

TEST_F(MaildirTest, LockFileIsTheOwnersAloneAndKeptFromChildren) {
  // Anyone who could open the lock file could take a lock on it that keeps every login out. A
  // lock file made readable by others before is closed to them at the next login.
  for (const bool exists_before : {false, true}) {
    SCOPED_TRACE(exists_before);
    const std::string lock_path = box_.path + "/fernd.lock";
    if (exists_before) {
      write_file(lock_path, "");
      ASSERT_EQ(0, ::chmod(lock_path.c_str(), 0644));
    }
    const mode_t saved_umask = ::umask(022);
    const bool opened = maildir_open(&snapshot_, box_.path.c_str());
    (void)::umask(saved_umask);
    ASSERT_TRUE(opened);
    struct stat status {};
    ASSERT_EQ(0, ::stat(lock_path.c_str(), &status));
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(0600U, status.st_mode & 07777U);
    // A password command started later must not inherit the lock file.
    const int flags = ::fcntl(snapshot_.lock_file.fd, F_GETFD);
    EXPECT_NE(0, flags & FD_CLOEXEC);
    maildir_close(&snapshot_);
    ASSERT_EQ(0, ::unlink(lock_path.c_str()));
  }
}

TEST_F(MaildirTest, HardLinkedLockFileIsRefusedAndTheOtherFileKeepsItsBytes) {
  // A second name for another file, put where the lock file belongs, must not let a login empty
  // that file.
  box_.add("m", "x");
  const temp_maildir other;
  const std::string victim = other.path + "/victim";
  write_file(victim, "another account's mail\n");
  ASSERT_EQ(0, ::link(victim.c_str(), (box_.path + "/fernd.lock").c_str()));
  maildir_failure failure;
  EXPECT_FALSE(maildir_open(&snapshot_, box_.path.c_str(), &failure));
  expect_empty(snapshot_);
  EXPECT_FALSE(failure.lock_held);
  EXPECT_EQ("fernd.lock has 2 links", std::string(failure.reason.data()));
  EXPECT_EQ("another account's mail\n", read_file(victim));
}

TEST_F(MaildirTest, LockFileThatIsNoRegularFileFailsAndIsLeftAlone) {
  // Whoever can write the maildir can put anything in the lock file's place. A link must never
  // lead the open to truncate its target, another account's mail for instance, and a FIFO must
  // not block the open until a reader comes.
  box_.add("m", "x");
  const temp_maildir other;
  const std::string victim = other.path + "/victim";
  write_file(victim, "another account's mail\n");
  const std::string lock_path = box_.path + "/fernd.lock";
  const struct {
    const char* what;
    std::string link_target;  // empty: a FIFO
  } cases[] = {
      {"a link to a file", victim},
      {"a dangling link", other.path + "/nothing"},
      {"a link to a directory", other.path},
      {"a FIFO", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.link_target.empty()) {
      ASSERT_EQ(0, ::mkfifo(lock_path.c_str(), 0600));
    } else {
      ASSERT_EQ(0, ::symlink(c.link_target.c_str(), lock_path.c_str()));
    }
    const int fds_before = open_fd_count();
    EXPECT_FALSE(maildir_open(&snapshot_, box_.path.c_str()));
    expect_empty(snapshot_);
    EXPECT_EQ(fds_before, open_fd_count());
    EXPECT_EQ("another account's mail\n", read_file(victim));
    EXPECT_FALSE(std::filesystem::exists(other.path + "/nothing"));
    ASSERT_EQ(0, ::unlink(lock_path.c_str()));
  }
  // A regular lock file in its place works as ever.
  EXPECT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
}

TEST_F(MaildirTest, UnwritableMaildirWithoutLockFileFails) {
  box_.add("m", "x");
  // Root writes into any directory: as root, the mailbox goes to an unprivileged user and the
  // open runs in a child process under that user's ids.
  const bool as_root = ::geteuid() == 0;
  if (as_root) {
    for (const std::string& path : {box_.path, box_.path + "/new", box_.new_path("m")}) {
      ASSERT_EQ(0, ::chown(path.c_str(), unprivileged_id, unprivileged_id)) << path;
    }
  }
  ASSERT_EQ(0, ::chmod(box_.path.c_str(), 0500));
  const child_outcome outcome = run_in_child([this, as_root] {
    if (as_root && (::setgroups(0, nullptr) != 0 || ::setgid(unprivileged_id) != 0 ||
                    ::setuid(unprivileged_id) != 0)) {
      std::fputs("cannot change to the unprivileged user\n", stderr);
      ::_exit(2);
    }
    // The mailbox itself can be read: only the missing lock file may make the open fail.
    const bool readable = ::access((box_.path + "/new").c_str(), R_OK | X_OK) == 0;
    maildir_snapshot snapshot;
    maildir_failure failure;
    const bool opened = maildir_open(&snapshot, box_.path.c_str(), &failure);
    const bool empty =
        snapshot.lock_file.fd < 0 && snapshot.message_count == 0 && snapshot.entries.empty();
    std::fprintf(stderr, "new/ %s, maildir_open %s (%s), snapshot %s\n",
                 readable ? "readable" : "unreadable", opened ? "succeeded" : "failed",
                 failure.reason.data(), empty ? "empty" : "not empty");
    ::_exit(0);
  });
  ASSERT_EQ(0, ::chmod(box_.path.c_str(), 0700));
  EXPECT_TRUE(WIFEXITED(outcome.wait_status) && WEXITSTATUS(outcome.wait_status) == 0)
      << outcome.err;
  EXPECT_EQ("new/ readable, maildir_open failed (fernd.lock: Permission denied), snapshot empty\n",
            outcome.err);
  struct stat status {};
  EXPECT_NE(0, ::lstat((box_.path + "/fernd.lock").c_str(), &status));
}

TEST_F(MaildirTest, OpensAndUnlinksMessagesByName) {
  // Message 1 is replaced after the scan by what must never be streamed or waited on; each is
  // refused without a descriptor left open. Message 2, a link to a regular file, opens.
  box_.add("m1", "one\n", 100, 0);
  box_.add("target", "two\n", 50, 0);
  std::filesystem::create_symlink(box_.new_path("target"), box_.new_path("m2"));
  const std::string fifo = box_.path + "/fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_EQ(3U, snapshot_.message_count);
  const mail_entry* m1 = nullptr;
  const mail_entry* m2 = nullptr;
  for (const mail_entry& entry : snapshot_.entries) {
    m1 = std::string_view(entry.name) == "m1" ? &entry : m1;
    m2 = std::string_view(entry.name) == "m2" ? &entry : m2;
  }
  ASSERT_TRUE(m1 != nullptr && m2 != nullptr);
  {
    const unique_fd link = maildir_open_message(snapshot_, *m2);
    ASSERT_GE(link.fd, 0);
    char text[8] = {};
    EXPECT_EQ(4, ::read(link.fd, text, sizeof text));
    EXPECT_STREQ("two\n", text);
  }
  for (const not_regular_file& c : not_regular_files(fifo)) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(box_.new_path("m1"));
    c.make(box_.new_path("m1"));
    const int fds_before = open_fd_count();
    EXPECT_EQ(-1, maildir_open_message(snapshot_, *m1).fd);
    EXPECT_EQ(fds_before, open_fd_count());
  }
  // Unlinking works by name in the directory that was scanned: a vanished file reports it.
  EXPECT_EQ(0, maildir_unlink_message(snapshot_, *m2));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(box_.new_path("m2"))));
  EXPECT_TRUE(std::filesystem::exists(box_.new_path("target")));
  EXPECT_EQ(ENOENT, maildir_unlink_message(snapshot_, *m2));
}

TEST_F(MaildirTest, TrailingSlashDoublesSlashInPaths) {
  box_.add("m1", "x", 100, 0);
  box_.add("m2", "y", 200, 0);
  ASSERT_TRUE(maildir_open(&snapshot_, (box_.path + "/").c_str()));
  ASSERT_EQ(2U, snapshot_.message_count);
  EXPECT_EQ(box_.path + "//new/m1", entry_path(snapshot_.entries[0]));
  EXPECT_EQ(box_.path + "//new/m2", entry_path(snapshot_.entries[1]));
  // "<path>//fernd.lock" names the same file as "<path>/fernd.lock": that one is held.
  EXPECT_FALSE(lockable_by_other_process(box_.path));
}

TEST_F(MaildirTest, FileSizeIsSizeOnDisk) {
  // Bare LFs, a dot line and no final line end: the transmission adds bytes, the size does not.
  const std::string content = "Subject: s\n\n.dot\nlast";
  box_.add("bare-lf", content);
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_EQ(1U, snapshot_.message_count);
  EXPECT_EQ(content.size(), snapshot_.entries[0].file_size);
}

TEST_F(MaildirTest, CloseEmptiesAndIsHarmlessOnEmptySnapshot) {
  maildir_close(&snapshot_);
  expect_empty(snapshot_);

  box_.add("m", "x");
  const int fds_before = open_fd_count();
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  EXPECT_EQ(fds_before + 2, open_fd_count());  // the lock file and new/, nothing else
  maildir_close(&snapshot_);
  expect_empty(snapshot_);
  EXPECT_EQ(fds_before, open_fd_count());
  maildir_close(&snapshot_);
  expect_empty(snapshot_);
  EXPECT_TRUE(lockable_by_other_process(box_.path));
}

TEST_F(MaildirTest, OpenAgainAfterFailureReusesSnapshot) {
  // A session whose first login met an unusable mailbox may log in again on the same snapshot.
  ASSERT_EQ(0, ::rmdir((box_.path + "/new").c_str()));
  EXPECT_FALSE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_EQ(0, ::mkdir((box_.path + "/new").c_str(), 0700));
  box_.add("m", "x");
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  EXPECT_EQ((std::vector<std::string>{"m"}), names_of(snapshot_));
}

// A name of \a size bytes that ends in the number \a n, so that names of one size stay distinct.
std::string long_name(std::size_t size, int n) {
  std::string name = "-" + std::to_string(n);
  return std::string(size - name.size(), 'n') + name;
}

TEST_F(MaildirTest, BigMailboxKeepsEveryNameSizeTimeAndPath) {
  // Enough names to fill several blocks of the name store, of every length up to the longest a
  // directory entry can have, which the path buffer must hold. Message i is i bytes long and as old
  // as its number says, so the directory's own order (by name hash here) is not the answer.
  constexpr int count = 1500;
  std::vector<std::string> expected;
  for (int i = 0; i < count; ++i) {
    const std::string name = long_name(8 + static_cast<std::size_t>(i) % 248, i);
    box_.add(name, std::string(static_cast<std::size_t>(i), 'x'), 5000 - i, i);
    expected.push_back(name);
  }
  std::reverse(expected.begin(), expected.end());  // the last one written is the oldest

  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_EQ(static_cast<std::uint64_t>(count), snapshot_.message_count);
  ASSERT_EQ(expected, names_of(snapshot_));
  for (std::size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE(expected[k]);
    const mail_entry& entry = snapshot_.entries[k];
    const int i = count - 1 - static_cast<int>(k);
    EXPECT_EQ(static_cast<std::uint64_t>(i), entry.file_size);
    EXPECT_EQ(5000 - i, entry.mtime_sec);
    EXPECT_EQ(i, entry.mtime_nsec);
    EXPECT_EQ(0, entry.deleted);
    EXPECT_EQ(box_.new_path(expected[k]), entry_path(entry));
  }
  // The buffer is reused: a short path after the longest one is still whole and ends where it
  // should.
  const mail_entry& longest = snapshot_.entries[count - 1 - 255 + 8];
  ASSERT_EQ(255U, std::string(longest.name).size());
  EXPECT_EQ(box_.new_path(longest.name), entry_path(longest));
  EXPECT_EQ(box_.new_path(expected[0]), entry_path(snapshot_.entries[0]));
}

TEST_F(MaildirTest, NamesBeyondAHugePageAreKeptWhole) {
  // More than 2 MiB of names: the store goes on in huge-page blocks, and what the last block
  // leaves unused is given back to the kernel right after the last name was stored.
  constexpr int count = 9000;
  std::vector<std::string> expected;
  for (int i = 0; i < count; ++i) {
    expected.push_back(long_name(240, i));
    box_.add(expected.back(), "", 100'000 + i, 0);
  }
  ASSERT_TRUE(maildir_open(&snapshot_, box_.path.c_str()));
  ASSERT_LT(std::size_t{2} << 20, snapshot_.names.total_size);
  EXPECT_EQ(expected, names_of(snapshot_));
  for (const mail_entry& entry : snapshot_.entries) {
    ASSERT_EQ(240U, entry.name_size);
  }
}

TEST_F(MaildirTest, MemoryExhaustionIsOrdinaryFailure) {
  // Names long enough to fill several blocks of the name store, so that every kind of allocation
  // of a scan is among those refused.
  constexpr int count = 300;
  for (int i = 0; i < count; ++i) {
    box_.add(long_name(250, i), "x", 100 + i, 0);
  }
  const int fds_before = open_fd_count();
  // Refuse the first allocation, then the second, and so on, until an open needs no more.
  constexpr long max_allocations = 1000;
  long refused = 0;
  for (long n = 1; n <= max_allocations; ++n) {
    SCOPED_TRACE(n);
    bool opened = false;
    bool happened = false;
    {
      const failing_allocation failure(n);
      opened = maildir_open(&snapshot_, box_.path.c_str());
      happened = failure.happened();
    }
    if (!happened) {
      EXPECT_TRUE(opened);
      EXPECT_EQ(static_cast<std::uint64_t>(count), snapshot_.message_count);
      break;
    }
    ++refused;
    EXPECT_FALSE(opened);
    expect_empty(snapshot_);
    EXPECT_EQ(fds_before, open_fd_count());
    EXPECT_TRUE(lockable_by_other_process(box_.path));
  }
  // The copy of the maildir path, the lock path, the path of new/, the list of name blocks and its
  // seven growing blocks, the array of entries and the path buffer: every one of them is a point
  // of failure.
  EXPECT_GE(refused, 14);
  EXPECT_LT(refused, max_allocations);
}

}  // namespace
}  // namespace fernd
