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

// Names are stored in blocks that double from the first size to the largest: a small mailbox
// takes less than a page (every page a session touches costs it a fault), a big one few blocks.
// Once the blocks hold a huge page's worth, a big mailbox is certain: from then on each block is a
// whole huge page, and what the last one leaves unused is given back when the names are read.
constexpr std::size_t maildir_first_name_block = 1024;
constexpr std::size_t maildir_largest_name_block = 64 * 1024;

// Sets the record lock of type \a type (F_WRLCK or F_UNLCK) over the whole file, without waiting.
int maildir_set_lock(int lock_file, short type) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 0;  // to the end of the file, however long it grows
  return ::fcntl(lock_file, F_SETLK, &request);
}

// Appends \a name (\a size bytes, at most maildir_name_max) to \a store: one byte that holds its
// length, the name, a NUL. A zero byte, which no length can be, always follows the last name of a
// block, so that the store can be walked name by name. Throws std::bad_alloc when memory runs out.
void maildir_store_name(maildir_name_store* store, const char* name, std::size_t size) {
  const std::size_t needed = size + 3;  // length, name, NUL, and the end mark after them
  if (store->blocks.empty() || store->block_size - store->block_used < needed) {
    const std::size_t next_size = store->total_size >= page_memory_huge_page
                                      ? page_memory_huge_page
                                      : std::clamp(2 * store->block_size, maildir_first_name_block,
                                                   maildir_largest_name_block);
    const std::size_t new_block_size = std::max(next_size, needed);
    // Room in the list first: were it to fail after the new block was made, the block would leak.
    if (store->blocks.capacity() == store->blocks.size()) {
      store->blocks.reserve(std::max<std::size_t>(8, 2 * store->blocks.size()));
    }
    store->blocks.emplace_back(static_cast<char*>(page_memory_allocate(new_block_size)),
                               page_memory_deleter{new_block_size});
    store->block_size = new_block_size;
    store->total_size += new_block_size;
    store->block_used = 0;
  }
  char* at = store->blocks.back().get() + store->block_used;
  at[0] = static_cast<char>(size);
  std::memcpy(at + 1, name, size);
  at[size + 1] = '\0';
  at[size + 2] = '\0';  // the end mark, overwritten by the next name
  store->block_used += size + 2;
}

// Reads every entry of \a directory into \a store and counts them in \a count. "." and ".." are
// left out: they are directories, which the status query would drop anyway. Returns false when
// reading the directory fails; throws std::bad_alloc when memory runs out.
bool maildir_read_names(DIR* directory, maildir_name_store* store, std::size_t* count) {
  for (;;) {
    // Only errno tells a read error from the end of the directory: clear it before every read.
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      if (!store->blocks.empty()) {
        // Past the end mark after the last name, the rest of the last block is not needed.
        page_memory_release_tail(store->blocks.back().get(), store->block_used + 1,
                                 store->block_size);
      }
      return errno == 0;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
      continue;
    }
    maildir_store_name(store, name, std::strlen(name));
    ++*count;
  }
}

// Queries the status of every name in \a snapshot's store, in the order read, and appends an entry
// for each regular file. The status query follows symbolic links like stat on "<directory
// path>/<name>", without resolving the directory path again for every name. A name that vanished
// since the read, a dangling link or an unreadable one is skipped; so is everything that is no
// regular file. The array must have room for every name.
void maildir_stat_names(int directory_fd, maildir_snapshot* snapshot) {
  char query_name[maildir_name_max + 1];
  for (const auto& block : snapshot->names.blocks) {
    for (const char* at = block.get(); *at != '\0';) {
      const std::size_t name_size = static_cast<unsigned char>(*at);
      const char* name = at + 1;
      at += name_size + 2;
      // Every status query waits for the memory writes still pending, and what it does in the
      // kernel pushes our data out of the caches: the next name and the next entry's place are
      // asked for now, to be there when the query returns.
      __builtin_prefetch(at);
      if (snapshot->entries.size() + 1 < snapshot->entries.capacity()) {
        __builtin_prefetch(snapshot->entries.data() + snapshot->entries.size() + 1, 1);
      }
      // The query is given a copy of the name in one stack buffer, not the name in the store:
      // the kernel copies the name in from our memory, and from one buffer that stays hot that
      // costs it less than from thousands of store pages in turn (on a virtual machine, measured
      // at about 4% of the scan of 100,000 names).
      std::memcpy(query_name, name, name_size + 1);
      struct stat status;
      if (::fstatat(directory_fd, query_name, &status, 0) != 0 || !S_ISREG(status.st_mode)) {
        continue;
      }
      snapshot->entries.push_back({name, static_cast<std::uint64_t>(status.st_size),
                                   status.st_mtim.tv_sec,
                                   static_cast<std::int32_t>(status.st_mtim.tv_nsec),
                                   static_cast<std::uint16_t>(name_size), 0});
    }
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
    if (directory == nullptr || !maildir_read_names(directory.get(), &snapshot->names, &names)) {
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
  decltype(snapshot->names.blocks){}.swap(snapshot->names.blocks);
  snapshot->names.block_used = 0;
  snapshot->names.block_size = 0;
  snapshot->names.total_size = 0;
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
