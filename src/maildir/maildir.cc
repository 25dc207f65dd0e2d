// The mailbox lock and the snapshot of new/: lock, list the names, query their status, sort;
// then opening and unlinking a message by its name in the directory that was scanned.
#include "maildir/maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "common/page_memory.h"
#include "common/path_walk.h"
#include "common/posix_handle.h"
#include "common/privilege.h"
#include "maildir/entry_sort.h"
#include "maildir/unique_id.h"

namespace fernd {
namespace {

// The lock file is the owner's alone: whoever else could open it could hold a lock on it that
// keeps every login out.
constexpr mode_t lock_file_mode = S_IRUSR | S_IWUSR;

// The directory that holds the messages.
constexpr const char* maildir_new_name = "new";

// Every name that readdir can return fits within maildir_name_max bytes, and that size fits the
// entry's name_size.
static_assert(sizeof(dirent::d_name) - 1 <= maildir_name_max);
static_assert(maildir_name_max <= std::numeric_limits<decltype(mail_entry::name_size)>::max());

// Notes why the maildir cannot be used, when the caller asked.
[[gnu::format(printf, 2, 3)]] void maildir_fail(maildir_failure* failure, const char* format, ...);

void maildir_fail(maildir_failure* failure, const char* format, ...) {
  if (failure == nullptr) {
    return;
  }
  std::va_list args;
  va_start(args, format);
  (void)std::vsnprintf(failure->reason.data(), failure->reason.size(), format, args);
  va_end(args);
}

// The trust under which this process walks a maildir's path. As root, the first user other than
// root who alone controls a step becomes the one the path belongs to. As another user, every step
// above the maildir is root's or this user's, so that nobody else can lead the walk elsewhere,
// while the maildir itself may be another user's, who then shares what is in it with this user.
path_trust maildir_trust() {
  if (::geteuid() == 0) {
    path_trust trust;
    trust.adopt = true;
    return trust;
  }
  path_trust trust = path_trust_own();
  trust.last_step_anyones = true;
  trust.suggest_remedy = true;
  return trust;
}

// Walks to the maildir directory under \a trust. Returns an O_PATH descriptor of it, which serves
// openat as a directory descriptor, or none with the reason in \a failure.
unique_fd maildir_walk(const char* maildir, path_trust* trust, maildir_failure* failure) {
  path_found found;
  if (!path_walk(maildir, trust, &found)) {
    maildir_fail(failure, "%s", found.reason.c_str());
    return {};
  }
  if (!S_ISDIR(found.status.st_mode)) {
    maildir_fail(failure, "%s", std::strerror(ENOTDIR));
    return {};
  }
  return std::move(found.fd);
}

// Whether another process holds the lock of the maildir on \a maildir_fd, looked at by a process
// that is root in a directory that a user controls. Nothing is created, no link followed, and
// nothing but that very regular file is opened: the name is pinned with O_PATH, its type looked
// at there, and the file opened again through the process's own descriptor of it, so that no
// FIFO or device put in its place meanwhile is ever opened. A lock file that is missing, that is
// no regular file, or that cannot be looked at so counts as free: the open after the change of
// user then decides, and ends the session should the mailbox be held after all.
bool maildir_lock_held(int maildir_fd) {
  unique_fd pinned;
  do {
    pinned.reset(::openat(maildir_fd, maildir_lock_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  } while (pinned.fd < 0 && errno == EINTR);
  struct stat status {};
  if (pinned.fd < 0 || ::fstat(pinned.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  std::array<char, 32> own_path{};
  (void)std::snprintf(own_path.data(), own_path.size(), "/proc/self/fd/%d", pinned.fd);
  unique_fd fd;
  do {
    fd.reset(::open(own_path.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (fd.fd < 0 && errno == EINTR);
  struct stat opened {};
  if (fd.fd < 0 || ::fstat(fd.fd, &opened) != 0 || opened.st_dev != status.st_dev ||
      opened.st_ino != status.st_ino) {
    return false;
  }
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;
  return ::fcntl(fd.fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// Opens "new" in the maildir. Never through a symbolic link: whoever can write the maildir could
// otherwise lead every listing, transmission and unlink into any directory.
unique_fd maildir_open_new(int maildir_fd, maildir_failure* failure) {
  unique_fd fd;
  do {
    fd.reset(::openat(maildir_fd, maildir_new_name,
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  } while (fd.fd < 0 && errno == EINTR);
  if (fd.fd < 0) {
    const int open_error = errno;
    struct stat status {};
    if (::fstatat(maildir_fd, maildir_new_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode)) {
      maildir_fail(failure, "new/ is a symbolic link");
    } else {
      maildir_fail(failure, "new/: %s", std::strerror(open_error));
    }
  }
  return fd;
}

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
      errno = read_error;  // for the caller's report
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
                                 static_cast<std::uint8_t>(name_size), false, 0});
  });
}

}  // namespace

unique_fd maildir_lock(int directory_fd, const char* name, maildir_failure* failure) {
  // Never through a symbolic link, and never truncated on the way in: anyone who can write the
  // maildir could otherwise make a login empty any file that fernd may write. Never waiting
  // either: a FIFO put in the lock file's place would block the open for as long as no reader
  // came. Close-on-exec, so that a password command started later does not inherit it.
  unique_fd fd;
  do {
    fd.reset(::openat(directory_fd, name,
                      O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                      lock_file_mode));
  } while (fd.fd < 0 && errno == EINTR);
  if (fd.fd < 0) {
    maildir_fail(failure, "%s: %s", name, std::strerror(errno));
    return fd;
  }
  struct stat status {};
  if (::fstat(fd.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    maildir_fail(failure, "%s is no regular file", name);
    return unique_fd{};
  }
  // A second name would make it another file as well, one that emptying it would destroy.
  if (status.st_nlink != 1) {
    maildir_fail(failure, "%s has %llu links", name,
                 static_cast<unsigned long long>(status.st_nlink));
    return unique_fd{};
  }
  if (maildir_set_lock(fd.fd, F_WRLCK) != 0) {
    // As a rule another process holds the mailbox; never wait for it.
    if (errno == EAGAIN || errno == EACCES) {
      if (failure != nullptr) {
        failure->lock_held = true;
      }
    }
    maildir_fail(failure, "%s: %s", name, std::strerror(errno));
    return unique_fd{};
  }
  // Nothing is ever written to it; what an earlier writer left goes, now that it is ours.
  if (status.st_size != 0) {
    (void)::ftruncate(fd.fd, 0);
  }
  // A lock file made readable by others before it was created 0600 is closed to them now.
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    (void)::fchmod(fd.fd, lock_file_mode);
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

bool maildir_check(const char* maildir, maildir_failure* failure) {
  path_trust trust = maildir_trust();
  const unique_fd directory = maildir_walk(maildir, &trust, failure);
  return directory.fd >= 0 && maildir_open_new(directory.fd, failure).fd >= 0;
}

bool maildir_open(maildir_snapshot* snapshot, const char* maildir, maildir_failure* failure,
                  maildir_user user) {
  maildir_close(snapshot);
  path_trust trust = maildir_trust();
  unique_fd maildir_fd = maildir_walk(maildir, &trust, failure);
  if (maildir_fd.fd < 0) {
    return false;
  }
  // A caller that could not learn that the process changed its user must not have it changed.
  if (user == maildir_user::controller && failure != nullptr && trust.adopt && trust.user) {
    // A login that will not get the mailbox is refused while the process is still root: the
    // user gets no process of her own for it, which she could stop to hold its session slot.
    if (maildir_lock_held(maildir_fd.fd)) {
      failure->lock_held = true;
      maildir_fail(failure, "%s is held by another process", maildir_lock_name);
      return false;
    }
    maildir_fd.reset();
    failure->user_changed = true;  // whatever follows: the process may hold the new ids
    if (!privilege_become(*trust.user, trust.group)) {
      maildir_fail(failure, "cannot become user %s: %s", trust.user_name.c_str(),
                   std::strerror(errno));
      return false;
    }
    // The whole path again, now with the user's rights: nothing that root alone could reach is
    // opened for her, and a path changed meanwhile is judged anew.
    maildir_fd = maildir_walk(maildir, &trust, failure);
    if (maildir_fd.fd < 0) {
      return false;
    }
  }
  try {
    // "new" first: a path that names no maildir (a mistyped one, or "new" itself) must not get a
    // lock file, which every reader of the directory would take for a message.
    unique_fd new_fd = maildir_open_new(maildir_fd.fd, failure);
    if (new_fd.fd < 0) {
      return false;
    }
    unique_fd lock = maildir_lock(maildir_fd.fd, maildir_lock_name, failure);
    if (lock.fd < 0) {
      return false;
    }
    // The "/" is always inserted, so "/m/" gives "/m//new"; log lines name messages by it.
    snapshot->directory_path = std::string(maildir) + "/" + maildir_new_name;
    snapshot->directory.reset(::fcntl(new_fd.fd, F_DUPFD_CLOEXEC, 0));
    const unique_dir directory{snapshot->directory.fd < 0 ? nullptr : ::fdopendir(new_fd.fd)};
    if (directory == nullptr) {
      maildir_fail(failure, "new/: %s", std::strerror(errno));
      maildir_close(snapshot);
      return false;
    }
    (void)new_fd.release();  // the directory stream owns it now
    // The names first, then their status: the array is then made once, at its final size.
    std::size_t names = 0;
    if (!maildir_list_names(directory.get(), &snapshot->names, &names)) {
      maildir_fail(failure, "new/: %s", std::strerror(errno));
      maildir_close(snapshot);
      return false;
    }
    snapshot->entries.reserve(names);
    maildir_stat_names(::dirfd(directory.get()), snapshot);
    if (snapshot->entries.empty()) {
      decltype(snapshot->entries){}.swap(snapshot->entries);  // no array without a message
    }
    mail_entry_sort(snapshot->entries.data(), snapshot->entries.size());
    unique_id_assign(snapshot->entries);
    snapshot->lock_file = std::move(lock);
    snapshot->message_count = snapshot->entries.size();
    return true;
  } catch (const std::bad_alloc&) {
    // Inside a session, memory exhaustion fails the open like any other cause. Unwinding has
    // already closed the directory and released the lock; the entries and names go here.
    maildir_fail(failure, "out of memory");
    maildir_close(snapshot);
    return false;
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
  // What the name stands for now, before anything is opened: a FIFO or a device is never opened.
  struct stat status {};
  if (::fstatat(snapshot.directory.fd, entry.name, &status, 0) != 0 || !S_ISREG(status.st_mode)) {
    return unique_fd{};
  }
  unique_fd fd;
  do {
    fd.reset(
        ::openat(snapshot.directory.fd, entry.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (fd.fd < 0 && errno == EINTR);
  // And the file opened must be the one looked at, not one swapped in meanwhile.
  struct stat opened {};
  if (fd.fd < 0 || ::fstat(fd.fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
      opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
    return unique_fd{};
  }
  return fd;
}

int maildir_unlink_message(const maildir_snapshot& snapshot, const mail_entry& entry) {
  return ::unlinkat(snapshot.directory.fd, entry.name, 0) == 0 ? 0 : errno;
}

}  // namespace fernd
