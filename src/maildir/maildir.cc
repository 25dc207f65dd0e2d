// The mailbox lock and the snapshot of new/: lock, list the names, query their status, sort;
// then opening and unlinking a message by its name in the directory that was scanned.
#include "maildir/maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "common/page_memory.h"
#include "common/posix_handle.h"
#include "maildir/entry_sort.h"

namespace fernd {
namespace {

// What fopen gives a file it creates: read and write for everyone, less the umask.
constexpr mode_t lock_file_mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

// Every name that readdir can return fits within maildir_name_max bytes.
static_assert(sizeof(dirent::d_name) - 1 <= maildir_name_max);
static_assert(sizeof(mail_entry) <= 32, "one entry per message for a whole session");

// Sets the record lock of type \a type (F_WRLCK or F_UNLCK) over the whole file, without waiting.
int maildir_set_lock(int lock_file, short type) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 0;  // to the end of the file, however long it grows
  return ::fcntl(lock_file, F_SETLK, &request);
}

// Reads every entry of \a directory into \a store and counts them in \a count, then seals the
// store. "." and ".." are left out: they are directories, which the status query would drop
// anyway. Returns false when reading the directory fails; throws std::bad_alloc when memory runs
// out.
bool maildir_list_names(DIR* directory, name_store* store, std::size_t* count) {
  for (;;) {
    // Only errno tells a read error from the end of the directory: clear it before every read.
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      const int read_error = errno;  // before the seal, whose advice may set errno
      name_store_seal(store);
      return read_error == 0;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
      continue;
    }
    name_store_add(store, name, std::strlen(name));
    ++*count;
  }
}

// Asks for the place of the entry after the one about to be appended, for writing.
inline void maildir_prefetch_next_entry(const maildir_snapshot& snapshot) {
  if (snapshot.entries.size() + 1 < snapshot.entries.capacity()) {
    __builtin_prefetch(snapshot.entries.data() + snapshot.entries.size() + 1, 1);
  }
}

// Queries the status of every name in \a snapshot's store, in the order read, and appends an entry
// for each regular file. The status query follows symbolic links like stat on "<directory
// path>/<name>", without resolving the directory path again for every name. A name that vanished
// since the read, a dangling link or an unreadable one is skipped; so is everything that is no
// regular file. The array must have room for every name.
void maildir_stat_names(int directory_fd, maildir_snapshot* snapshot) {
  char query_name[maildir_name_max + 1];
  name_store_for_each(snapshot->names, [&](const char* name, std::size_t name_size) {
    // A status query waits for the memory writes still pending and pushes our data out of the
    // caches: the next entry's place is asked for now, to be there when the query returns.
    maildir_prefetch_next_entry(*snapshot);
    // The kernel copies the name in from our memory: from one stack buffer that stays hot that
    // costs it less than from a different store page every time (docs/performance.md).
    std::memcpy(query_name, name, name_size + 1);
    struct stat status;
    if (::fstatat(directory_fd, query_name, &status, 0) != 0 || !S_ISREG(status.st_mode)) {
      return;
    }
    snapshot->entries.push_back({name, static_cast<std::uint64_t>(status.st_size),
                                 status.st_mtim.tv_sec,
                                 static_cast<std::int32_t>(status.st_mtim.tv_nsec),
                                 static_cast<std::uint16_t>(name_size), 0});
  });
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
  // Byte by byte as unsigned values, a prefix first. Directory entry names hold no NUL.
  return std::strcmp(a.name, b.name);
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
    snapshot->directory_path = maildir_path + "/new";
    const unique_dir directory{::opendir(snapshot->directory_path.c_str())};
    // The names first, then their status: the array is then made once, at its final size.
    std::size_t names = 0;
    if (directory == nullptr || !maildir_list_names(directory.get(), &snapshot->names, &names)) {
      maildir_close(snapshot);
      return 1;
    }
    snapshot->entries.reserve(names);
    maildir_stat_names(::dirfd(directory.get()), snapshot);
    if (snapshot->entries.empty()) {
      decltype(snapshot->entries){}.swap(snapshot->entries);  // no array without a message
    }
    snapshot->directory.reset(::fcntl(::dirfd(directory.get()), F_DUPFD_CLOEXEC, 0));
    if (snapshot->directory.fd < 0) {
      maildir_close(snapshot);
      return 1;
    }
    mail_entry_sort(snapshot->entries.data(), snapshot->entries.size());
    snapshot->lock_file = std::move(lock);
    snapshot->message_count = snapshot->entries.size();
    return 0;
  } catch (const std::bad_alloc&) {
    // Inside a session, memory exhaustion fails the open like any other cause. Unwinding has
    // already closed the directory and released the lock; the entries and names go here.
    maildir_close(snapshot);
    return 1;
  }
}

void maildir_close(maildir_snapshot* snapshot) {
  maildir_unlock(&snapshot->lock_file);
  decltype(snapshot->entries){}.swap(snapshot->entries);
  snapshot->message_count = 0;
  name_store_clear(&snapshot->names);
  std::string{}.swap(snapshot->directory_path);
  snapshot->directory.reset();
}

unique_fd maildir_open_message(const maildir_snapshot& snapshot, const mail_entry& entry) {
  unique_fd fd;
  do {
    fd.reset(
        ::openat(snapshot.directory.fd, entry.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (fd.fd < 0 && errno == EINTR);
  struct stat status {};
  if (fd.fd < 0 || ::fstat(fd.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return unique_fd{};
  }
  return fd;
}

bool maildir_unlink_message(const maildir_snapshot& snapshot, const mail_entry& entry) {
  return ::unlinkat(snapshot.directory.fd, entry.name, 0) == 0;
}

}  // namespace fernd
