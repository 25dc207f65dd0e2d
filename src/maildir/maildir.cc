#include "maildir/maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "common/posix_handle.h"

namespace fernd {
namespace {

// What fopen gives a file it creates: read and write for everyone, less the umask.
constexpr mode_t lock_file_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

// A first allocation that holds a typical mailbox; larger ones grow geometrically from here.
constexpr std::size_t maildir_initial_entries = 256;

// Sets the record lock of type \a type (F_WRLCK or F_UNLCK) over the whole file, without waiting.
int maildir_set_lock(int lock_file, short type) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 0;  // to the end of the file, however long it grows
  return ::fcntl(lock_file, F_SETLK, &request);
}

// Reads every entry of \a directory (opened on \a directory_path) and appends the regular files to
// \a entries. Returns false when reading the directory fails; throws std::bad_alloc when memory
// runs out.
bool maildir_scan(DIR* directory, const std::string& directory_path,
                  std::vector<mail_entry>* entries) {
  const int directory_fd = ::dirfd(directory);
  for (;;) {
    // Only errno tells a read error from the end of the directory, and the status query of the
    // previous entry may have set it: clear it before every read.
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      return errno == 0;
    }
    // Follows symbolic links like stat on "<directory_path>/<name>", without resolving the
    // directory path again for every entry. An entry that vanished since the read, a dangling
    // link or an unreadable one is skipped; so is everything that is no regular file, "." and
    // ".." among them.
    struct stat status {};
    if (::fstatat(directory_fd, entry->d_name, &status, 0) != 0 || !S_ISREG(status.st_mode)) {
      continue;
    }
    if (entries->capacity() == 0) {
      entries->reserve(maildir_initial_entries);  // an empty mailbox allocates nothing
    }
    mail_entry& added = entries->emplace_back();
    added.name = entry->d_name;
    added.file_path.reserve(directory_path.size() + 1 + added.name.size());
    added.file_path.append(directory_path).append("/").append(added.name);
    added.file_size = static_cast<std::uint64_t>(status.st_size);
    added.mtime_sec = status.st_mtim.tv_sec;
    added.mtime_nsec = status.st_mtim.tv_nsec;
  }
}

}  // namespace

unique_fd maildir_lock(const char* lock_path) {
  // Created with the permissions that fopen's "w" gives, and truncated as it does. Never through
  // a symbolic link: anyone who can write the maildir could otherwise make a login truncate any
  // file that fernd may write. Never waiting either: a FIFO put in the lock file's place would
  // block the open for as long as no reader came. Close-on-exec, so that a password command
  // started later does not inherit it.
  unique_fd fd{::open(lock_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      lock_file_mode)};
  if (fd.fd < 0) {
    return fd;
  }
  struct stat status {};
  if (::fstat(fd.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      maildir_set_lock(fd.fd, F_WRLCK) != 0) {
    // As a rule another process holds the mailbox; never wait for it.
    return unique_fd{};
  }
  return fd;
}

void maildir_unlock(unique_fd* lock_file) {
  if (lock_file->fd < 0) {
    return;
  }
  // Ignored: closing the descriptor drops the lock all the same.
  (void)maildir_set_lock(lock_file->fd, F_UNLCK);
  lock_file->reset();
}

int mail_entry_compare(const mail_entry& a, const mail_entry& b) {
  if (a.mtime_sec != b.mtime_sec) {
    return a.mtime_sec < b.mtime_sec ? -1 : 1;
  }
  if (a.mtime_nsec != b.mtime_nsec) {
    return a.mtime_nsec < b.mtime_nsec ? -1 : 1;
  }
  // Byte by byte as unsigned values, a prefix first: what strcmp does, and what
  // std::char_traits<char> guarantees. Directory entry names hold no NUL.
  return a.name.compare(b.name);
}

int maildir_open(maildir_snapshot* snapshot, const char* maildir) {
  maildir_close(snapshot);
  try {
    // The "/" is always inserted, so "/m/" gives "/m//fernd.lock" and "/m//new/<name>".
    const std::string maildir_path = maildir;
    unique_fd lock = maildir_lock((maildir_path + "/" + maildir_lock_name).c_str());
    if (lock.fd < 0) {
      return 1;
    }
    const std::string directory_path = maildir_path + "/new";
    const unique_dir directory{::opendir(directory_path.c_str())};
    if (directory == nullptr) {
      return 1;
    }
    std::vector<mail_entry> entries;
    if (!maildir_scan(directory.get(), directory_path, &entries)) {
      return 1;
    }
    std::sort(entries.begin(), entries.end(), [](const mail_entry& a, const mail_entry& b) {
      return mail_entry_compare(a, b) < 0;
    });
    snapshot->lock_file = std::move(lock);
    snapshot->entries = std::move(entries);
    snapshot->message_count = snapshot->entries.size();
    return 0;
  } catch (const std::bad_alloc&) {
    // Inside a session, memory exhaustion fails the open like any other cause. Unwinding has
    // already closed the directory, discarded the entries and released the lock.
    return 1;
  }
}

void maildir_close(maildir_snapshot* snapshot) {
  maildir_unlock(&snapshot->lock_file);
  std::vector<mail_entry>{}.swap(snapshot->entries);
  snapshot->message_count = 0;
}

}  // namespace fernd
