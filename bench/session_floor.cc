// fernd_bench_session_floor: the least work of any server that forks a process per connection and
// takes the mailbox at login, measured on this machine as sessions per second. It listens on
// 127.0.0.1, forks for every connection, greets, and answers each command line: USER notes the
// account, PASS opens its Maildir, locks the lock file with fcntl and reads new/ with readdir and
// fstatat (the sizes that STAT sums come from nothing else), STAT answers from that count, QUIT
// ends the process. There is no password check, no log, no sort, no limit of sessions and no
// timeout; any other command is refused. It speaks just enough POP3 for the session mode of
// fernd_pop3_load, which then drives it exactly as it drives fernd.
//
//   fernd_bench_session_floor PORT USER MAILDIR [USER MAILDIR ...]
//
// PORT 0 takes an ephemeral port, which the driver reads from /proc. The lock file is fernd's own,
// "fernd.lock" in the Maildir, so that the floor and fernd never hold one mailbox at once and the
// floor leaves no file behind that fernd would not.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fernd {
namespace {

/// Room for one command line with its line end; a longer line ends the session. fernd takes
/// lines of the same size.
constexpr std::size_t floor_line_size = 1024;

/// Clients that may wait for their accept, as many as fernd lets wait.
constexpr int floor_backlog = 128;

/// The lock file of a Maildir, the name fernd uses.
constexpr const char* floor_lock_name = "fernd.lock";

struct floor_account {
  const char* user;
  const char* maildir;
};

/// What a login took: the lock file, held until QUIT or the end of the process, and what STAT
/// reports.
struct floor_mailbox {
  int lock_fd = -1;
  unsigned long long messages = 0;
  unsigned long long bytes = 0;
};

/// Writes all of \a text to the connection; a connection that fails ends the session.
void floor_reply(int conn, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(conn, text, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      ::_exit(1);
    }
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

void floor_reply(int conn, const char* text) {
  floor_reply(conn, text, std::strlen(text));
}

/// Opens \a maildir, locks its lock file without waiting and counts the regular files in new/ and
/// their bytes. Returns false when any step fails; the caller then closes the lock file.
bool floor_mailbox_take(const char* maildir, floor_mailbox* box) {
  const int directory = ::open(maildir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) {
    return false;
  }
  box->lock_fd = ::openat(directory, floor_lock_name, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // from the start, and with l_len 0 to the end
  const int new_fd = box->lock_fd >= 0 && ::fcntl(box->lock_fd, F_SETLK, &whole) == 0
                         ? ::openat(directory, "new", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                         : -1;
  (void)::close(directory);
  DIR* const entries = new_fd < 0 ? nullptr : ::fdopendir(new_fd);
  if (entries == nullptr) {
    if (new_fd >= 0) {
      (void)::close(new_fd);
    }
    return false;
  }
  for (;;) {
    errno = 0;  // only errno tells a failed read from the end of the directory
    const dirent* entry = ::readdir(entries);
    if (entry == nullptr) {
      break;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
      continue;
    }
    struct stat status;
    if (::fstatat(new_fd, name, &status, 0) == 0 && S_ISREG(status.st_mode)) {
      ++box->messages;
      box->bytes += static_cast<unsigned long long>(status.st_size);
    }
  }
  const bool read_all = errno == 0;
  (void)::closedir(entries);
  return read_all;
}

/// Answers one command line (without its line end) of the session.
void floor_answer(int conn, const char* line, const floor_account* accounts, int account_count,
                  const floor_account** user, floor_mailbox* box) {
  const bool logged_in = box->lock_fd >= 0;
  if (::strcasecmp(line, "QUIT") == 0) {
    floor_reply(conn, "+OK\r\n");
    // The mailbox is free before the client sees the connection end, as fernd frees it: the next
    // session of the same account may come at once. The connection is closed here rather than by
    // the exit, which would first take the process's memory down while the client waits.
    if (logged_in) {
      (void)::close(box->lock_fd);
    }
    (void)::close(conn);
    ::_exit(0);
  }
  if (!logged_in && ::strncasecmp(line, "USER ", 5) == 0) {
    *user = nullptr;
    for (int i = 0; i < account_count; ++i) {
      if (std::strcmp(accounts[i].user, line + 5) == 0) {
        *user = &accounts[i];
        break;
      }
    }
    floor_reply(conn, "+OK\r\n");
    return;
  }
  if (!logged_in && *user != nullptr && ::strncasecmp(line, "PASS ", 5) == 0) {
    if (floor_mailbox_take((*user)->maildir, box)) {
      floor_reply(conn, "+OK\r\n");
      return;
    }
    if (box->lock_fd >= 0) {
      (void)::close(box->lock_fd);  // the login failed: nothing of it stays held
    }
    *box = floor_mailbox{};
    floor_reply(conn, "-ERR cannot open mailbox\r\n");
    return;
  }
  if (logged_in && ::strcasecmp(line, "STAT") == 0) {
    char reply[64];
    const int size =
        std::snprintf(reply, sizeof reply, "+OK %llu %llu\r\n", box->messages, box->bytes);
    floor_reply(conn, reply, static_cast<std::size_t>(size));
    return;
  }
  floor_reply(conn, "-ERR command not understood\r\n");
}

/// The session process: one dialogue on \a conn, then the end of the process.
[[noreturn]] void floor_session(int conn, const floor_account* accounts, int account_count) {
  floor_reply(conn, "+OK floor ready\r\n");
  const floor_account* user = nullptr;
  floor_mailbox box;
  char in[floor_line_size];
  std::size_t used = 0;
  for (;;) {
    auto* const end = static_cast<char*>(std::memchr(in, '\n', used));
    if (end == nullptr) {
      if (used == sizeof in) {
        ::_exit(1);  // longer than any command line
      }
      const ssize_t n = ::read(conn, in + used, sizeof in - used);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        ::_exit(n == 0 ? 0 : 1);
      }
      used += static_cast<std::size_t>(n);
      continue;
    }
    const std::size_t taken = static_cast<std::size_t>(end - in) + 1;
    char* const line_end = end > in && end[-1] == '\r' ? end - 1 : end;
    *line_end = '\0';
    floor_answer(conn, in, accounts, account_count, &user, &box);
    // Lines the client sent ahead are answered in turn.
    std::memmove(in, in + taken, used - taken);
    used -= taken;
  }
}

/// Reaps every ended session process; the driver counts their CPU time through this process's own.
void floor_reap(int /*signal_number*/) {
  const int saved_errno = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved_errno;
}

int floor_main(int port, const floor_account* accounts, int account_count) {
  struct sigaction reap {};
  reap.sa_handler = floor_reap;
  (void)::sigemptyset(&reap.sa_mask);
  reap.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::sigaction(SIGCHLD, &reap, nullptr) != 0 || listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, floor_backlog) != 0) {
    std::perror("fernd_bench_session_floor: listen");
    return 1;
  }
  for (;;) {
    const int conn = ::accept(listener, nullptr, nullptr);
    if (conn < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      std::perror("fernd_bench_session_floor: accept");
      return 1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      (void)::close(listener);
      floor_session(conn, accounts, account_count);
    }
    if (pid < 0) {
      std::perror("fernd_bench_session_floor: fork");
      return 1;
    }
    (void)::close(conn);
  }
}

}  // namespace
}  // namespace fernd

int main(int argc, char** argv) {
  char* end = nullptr;
  const long port = argc >= 2 ? std::strtol(argv[1], &end, 10) : -1;
  if (argc < 4 || argc % 2 != 0 || end == argv[1] || *end != '\0' || port < 0 || port > 65535) {
    std::fputs("usage: fernd_bench_session_floor PORT USER MAILDIR [USER MAILDIR ...]\n", stderr);
    return 2;
  }
  // The accounts are the pairs of the command line, looked up in its order as fernd does.
  const int count = (argc - 2) / 2;
  auto* accounts = static_cast<fernd::floor_account*>(
      std::calloc(static_cast<std::size_t>(count), sizeof(fernd::floor_account)));
  if (accounts == nullptr) {
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    accounts[i] = {argv[2 + 2 * i], argv[3 + 2 * i]};
  }
  return fernd::floor_main(static_cast<int>(port), accounts, count);
}
