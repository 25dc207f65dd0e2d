// Fuzz target: a whole POP3 session fed with arbitrary client bytes, against a small Maildir that
// holds the awkward cases of real mail, with TOP served (--top): the dialogue without it differs
// only in refusing TOP and in CAPA's reply. Every input runs twice: once with an output that takes
// everything, and once with one that fails part way, as when a client goes away.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/account.h"
#include "common/posix_handle.h"
#include "log/session_log.h"
#include "maildir/maildir.h"
#include "pop3/pop3_session.h"
#include "targets/fuzz_targets.h"

namespace fernd {
namespace {

struct message_file {
  std::string name;
  std::string content;
  std::int64_t mtime_sec;
};

// The mailbox's messages: a dot at a line start, bare LF, CR LF, no final LF, a line longer than
// a read chunk with a CR LF split by the chunk boundary, a lone CR, a NUL byte and an empty file.
std::vector<message_file> mailbox_messages() {
  using namespace std::string_literals;
  return {
      {"1000000001.M1P1.fuzz",
       "From: a@example.org\nSubject: bare LF\n\n.a line starting with a dot\n..two dots\n.\nend\n",
       1000000001},
      {"1000000002.M2P2.fuzz", "Subject: CR LF\r\n\r\nbody\r\n.\r\n.x\r\n", 1000000002},
      {"1000000003.M3P3.fuzz", "Subject: no final LF\n\nthe end", 1000000003},
      {"1000000004.M4P4.fuzz",
       "Subject: mixed\r\n\r\n"s + std::string(1022, 'y') + "\r\n" + std::string(2500, 'z') +
           "\n.lone\rCR\n" + "NUL\0byte\n"s + "\0at a line start\n"s,
       1000000004},
      {"1000000005.M5P5.fuzz", "", 1000000005},
  };
}

constexpr const char* greeting = "+OK fernd ready.\r\n";

void make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    fuzz_fail("cannot create a directory of the Maildir");
  }
}

// The Maildir, its account list and the log, made once per process.
struct session_fixture {
  std::string maildir;
  std::vector<message_file> messages = mailbox_messages();
  account_list accounts;
  session_log log;
  struct stat lock_stat {};

  session_fixture() {
    maildir = fuzz_scratch_dir() + "/maildir";
    make_directory(maildir);
    make_directory(maildir + "/new");
    make_directory(maildir + "/cur");
    make_directory(maildir + "/tmp");
    for (const message_file& message : messages) {
      restore(message);
    }
    // A second account whose mailbox does not exist, so that a login can also fail to lock.
    accounts.push_back({"alice", "secret", maildir});
    accounts.push_back({"bob", "hunter2", fuzz_scratch_dir() + "/no-such-maildir"});
    // A real log file, so that every log line is formatted and written.
    log_open(false, "/dev/null", &log);

    // Creates the lock file, whose identity the lock check needs.
    maildir_snapshot snapshot;
    if (!maildir_open(&snapshot, maildir.c_str()) || snapshot.message_count != messages.size()) {
      fuzz_fail("the fuzz Maildir does not open");
    }
    maildir_close(&snapshot);
    if (::stat((maildir + "/" + maildir_lock_name).c_str(), &lock_stat) != 0) {
      fuzz_fail("maildir_open left no lock file");
    }
  }

  std::string path_of(const message_file& message) const {
    return maildir + "/new/" + message.name;
  }

  void restore(const message_file& message) const {
    const std::string path = path_of(message);
    fuzz_write_file(path, message.content);
    const timespec times[2] = {{static_cast<time_t>(message.mtime_sec), 0},
                               {static_cast<time_t>(message.mtime_sec), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
      fuzz_fail("cannot set a message's modification time");
    }
  }
};

session_fixture& fixture() {
  static session_fixture instance;
  return instance;
}

// The lowest free descriptor number: it grows when a descriptor leaks.
int lowest_free_fd() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fuzz_fail("cannot open /dev/null");
  }
  ::close(fd);
  return fd;
}

// Whether the kernel lists a record lock on the lock file. A lock of this process does not stop
// this process from locking again, so asking maildir_open would prove nothing; /proc/locks tells.
bool lock_file_locked(const struct stat& lock_stat) {
  unique_file locks(std::fopen("/proc/locks", "r"));
  if (!locks) {
    return false;
  }
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, " %02x:%02x:%llu ", ::major(lock_stat.st_dev),
                ::minor(lock_stat.st_dev), static_cast<unsigned long long>(lock_stat.st_ino));
  std::array<char, 512> line{};
  while (std::fgets(line.data(), line.size(), locks.get()) != nullptr) {
    if (std::strstr(line.data(), wanted) != nullptr) {
      return true;
    }
  }
  return false;
}

// Occurrences of \a word (lower case) in \a text, ignoring the case of ASCII letters.
std::size_t count_word(std::string_view text, std::string_view word) {
  std::size_t count = 0;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    bool equal = true;
    for (std::size_t j = 0; j < word.size() && equal; ++j) {
      const char c = text[i + j];
      equal = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == word[j];
    }
    count += equal ? 1 : 0;
  }
  return count;
}

struct session_run {
  session_result status = session_result::aborted;
  std::string output;
  std::size_t deleted = 0;  ///< messages missing from new/ afterwards
};

session_run run_session(const std::string& client, std::size_t budget) {
  session_fixture& fx = fixture();
  const int free_fd = lowest_free_fd();

  session_run run;
  {
    const unique_fd input = fuzz_memory_file(client);
    const capture_sink sink = fuzz_open_capture(budget);
    // A login wipes the other accounts' passwords: every session gets the list afresh.
    account_list accounts = fx.accounts;
    {
      connection c(input.fd, sink.fd.fd);
      pop3_options options;
      options.top = true;
      run.status = pop3_session(&fx.log, c, accounts, false, options);
    }
    run.output = sink.bytes();
  }

  if (lowest_free_fd() != free_fd) {
    fuzz_fail("a descriptor leaked from the session");
  }
  if (lock_file_locked(fx.lock_stat)) {
    fuzz_fail("the mailbox lock outlived the session");
  }
  maildir_snapshot snapshot;
  if (!maildir_open(&snapshot, fx.maildir.c_str())) {
    fuzz_fail("the mailbox does not open after the session");
  }
  maildir_close(&snapshot);

  for (const message_file& message : fx.messages) {
    struct stat st {};
    if (::stat(fx.path_of(message).c_str(), &st) != 0) {
      ++run.deleted;
      fx.restore(message);
    } else if (static_cast<std::size_t>(st.st_size) != message.content.size() ||
               st.st_mtim.tv_sec != message.mtime_sec) {
      fuzz_fail("the session changed a message file");
    }
  }
  return run;
}

// Every byte the server sends belongs to a complete line ended by CR LF.
void check_whole_lines(const std::string& output) {
  if (output.size() < 2 || output.compare(output.size() - 2, 2, "\r\n") != 0) {
    fuzz_fail("the output does not end with CR LF");
  }
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '\n' && (i == 0 || output[i - 1] != '\r')) {
      fuzz_fail("the output holds an LF without CR");
    }
  }
}

// A number that the input's bytes decide, so that the point of failure moves about the output
// from one input to the next (FNV-1a).
std::uint64_t spread(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  return hash;
}

}  // namespace

int fuzz_session(const std::uint8_t* data, std::size_t size) {
  const std::string client(reinterpret_cast<const char*>(data), size);
  // After one failed password check every later check sleeps a second; allowing one "PASS " in
  // the whole input, wherever it stands, keeps every run free of that sleep.
  if (count_word(client, "pass ") > 1) {
    return fuzz_input_rejected;
  }

  const session_run full = run_session(client, SIZE_MAX);
  if (full.output.rfind(greeting, 0) != 0) {
    fuzz_fail("the output does not begin with the greeting");
  }
  check_whole_lines(full.output);
  if (full.deleted > 0) {
    if (full.status != session_result::quit) {
      fuzz_fail("messages were unlinked by a session that did not end with status 0");
    }
    if (full.output.size() < 5 || full.output.compare(full.output.size() - 5, 5, "+OK\r\n") != 0) {
      fuzz_fail("messages were unlinked although the last reply was no +OK");
    }
    if (full.deleted > count_word(client, "dele ") || count_word(client, "quit") == 0) {
      fuzz_fail("more messages were unlinked than the client deleted");
    }
  }

  // The same dialogue with a client that stops reading before the end: nothing may be unlinked,
  // since the reply to QUIT, which comes last, cannot have arrived whole.
  // Half the inputs cut the last reply, the reply to QUIT when there was one, in the middle. The
  // choice takes a high bit of the hash: FNV-1a's lowest bit is only the parity of the bytes.
  const std::uint64_t hash = spread(client);
  const std::size_t last_reply = std::min<std::size_t>(full.output.size(), 5);
  const std::size_t budget = ((hash >> 40) & 1) != 0 ? hash % full.output.size()
                                                     : full.output.size() - 1 - hash % last_reply;
  const session_run cut = run_session(client, budget);
  if (full.output.compare(0, cut.output.size(), cut.output) != 0 ||
      cut.output.size() >= full.output.size()) {
    fuzz_fail("the output before the failure differs from the full run");
  }
  if (cut.deleted > 0) {
    fuzz_fail("messages were unlinked although the output failed");
  }
  return 0;
}

}  // namespace fernd
