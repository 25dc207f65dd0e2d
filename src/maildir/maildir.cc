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

#include "common/posix_handle.h"

namespace fernd {
namespace {

// A first allocation that holds a typical mailbox; larger ones grow geometrically from here.
constexpr std::size_t maildir_initial_entries = 256;

// Names are stored in blocks that double from the first size to the largest: a small mailbox
// takes one page, a big one few blocks.
constexpr std::size_t maildir_first_name_block = 4 * 1024;
constexpr std::size_t maildir_largest_name_block = 64 * 1024;

// Sets the record lock of type \a type (F_WRLCK or F_UNLCK) over the whole file, without waiting.
int maildir_set_lock(std::FILE* lock_file, short type) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 0;  // to the end of the file, however long it grows
  return ::fcntl(::fileno(lock_file), F_SETLK, &request);
}

// Copies \a name (\a size bytes) and a NUL into \a store; returns the copy, which stays where it is
// until the store is cleared. Throws std::bad_alloc when memory runs out.
const char* maildir_store_name(maildir_name_store* store, const char* name, std::size_t size) {
  if (store->blocks.empty() || store->block_size - store->block_used < size + 1) {
    const std::size_t next_size =
        std::clamp(2 * store->block_size, maildir_first_name_block, maildir_largest_name_block);
    const std::size_t block_size = std::max(next_size, size + 1);
    // Room in the list first: were it to fail after the new block was made, the block would leak.
    if (store->blocks.capacity() == store->blocks.size()) {
      store->blocks.reserve(std::max<std::size_t>(8, 2 * store->blocks.size()));
    }
    store->blocks.emplace_back(new char[block_size]);
    store->block_size = block_size;
    store->block_used = 0;
  }
  char* copy = store->blocks.back().get() + store->block_used;
  std::memcpy(copy, name, size);
  copy[size] = '\0';
  store->block_used += size + 1;
  return copy;
}

// Reads every entry of \a directory and appends the regular files to \a snapshot's entries, their
// names to its name store. Returns false when reading the directory fails; throws std::bad_alloc
// when memory runs out. Sets \a longest_name to the length of the longest name stored.
bool maildir_scan(DIR* directory, maildir_snapshot* snapshot, std::size_t* longest_name) {
  const int directory_fd = ::dirfd(directory);
  std::vector<mail_entry>& entries = snapshot->entries;
  for (;;) {
    // Only errno tells a read error from the end of the directory, and the status query of the
    // previous entry may have set it: clear it before every read.
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      return errno == 0;
    }
    // Follows symbolic links like stat on "<directory path>/<name>", without resolving the
    // directory path again for every entry. An entry that vanished since the read, a dangling
    // link or an unreadable one is skipped; so is everything that is no regular file, "." and
    // ".." among them.
    struct stat status {};
    if (::fstatat(directory_fd, entry->d_name, &status, 0) != 0 || !S_ISREG(status.st_mode)) {
      continue;
    }
    if (entries.capacity() == entries.size()) {
      // An empty mailbox allocates nothing; a full array doubles, as push_back would.
      entries.reserve(std::max(maildir_initial_entries, 2 * entries.size()));
    }
    const std::size_t name_size = std::strlen(entry->d_name);
    mail_entry& added = entries.emplace_back();
    // The array has room, so this cannot throw; the name store may, and the half-made entry then
    // goes with the rest of the array.
    added.name = maildir_store_name(&snapshot->names, entry->d_name, name_size);
    added.file_size = static_cast<std::uint64_t>(status.st_size);
    added.mtime_sec = status.st_mtim.tv_sec;
    added.mtime_nsec = static_cast<std::int32_t>(status.st_mtim.tv_nsec);
    *longest_name = std::max(*longest_name, name_size);
  }
}

}  // namespace

maildir_lock_file maildir_lock(const char* lock_path) {
  // "e": a password command started later must not inherit the descriptor.
  unique_file stream{std::fopen(lock_path, "we")};
  if (stream == nullptr) {
    return nullptr;
  }
  if (maildir_set_lock(stream.get(), F_WRLCK) != 0) {
    return nullptr;  // As a rule another process holds the mailbox; never wait for it.
  }
  return maildir_lock_file{stream.release()};
}

void maildir_unlock(std::FILE* lock_file) {
  if (lock_file == nullptr) {
    return;
  }
  // Ignored: closing the stream drops the lock all the same.
  (void)maildir_set_lock(lock_file, F_UNLCK);
  (void)std::fclose(lock_file);
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
    maildir_lock_file lock = maildir_lock((maildir_path + "/" + maildir_lock_name).c_str());
    if (lock == nullptr) {
      return 1;
    }
    snapshot->directory_path = maildir_path + "/new";
    const unique_dir directory{::opendir(snapshot->directory_path.c_str())};
    std::size_t longest_name = 0;
    if (directory == nullptr || !maildir_scan(directory.get(), snapshot, &longest_name)) {
      maildir_close(snapshot);
      return 1;
    }
    snapshot->path_buffer.reset(new char[snapshot->directory_path.size() + 1 + longest_name + 1]);
    std::sort(
        snapshot->entries.begin(), snapshot->entries.end(),
        [](const mail_entry& a, const mail_entry& b) { return mail_entry_compare(a, b) < 0; });
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
  snapshot->lock_file.reset();
  std::vector<mail_entry>{}.swap(snapshot->entries);
  snapshot->message_count = 0;
  std::vector<std::unique_ptr<char[]>>{}.swap(snapshot->names.blocks);
  snapshot->names.block_used = 0;
  snapshot->names.block_size = 0;
  std::string{}.swap(snapshot->directory_path);
  snapshot->path_buffer.reset();
}

const char* maildir_entry_path(maildir_snapshot* snapshot, const mail_entry& entry) {
  char* path = snapshot->path_buffer.get();
  const std::size_t directory_size = snapshot->directory_path.size();
  std::memcpy(path, snapshot->directory_path.data(), directory_size);
  path[directory_size] = '/';
  std::memcpy(path + directory_size + 1, entry.name, std::strlen(entry.name) + 1);
  return path;
}

}  // namespace fernd
