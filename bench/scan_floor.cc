// fernd_bench_scan: the least work that any server must do to number the messages of a Maildir
// at login, measured on this machine: read every entry of new/ and stat it (the size that STAT
// and LIST report and the modification time that orders the messages come from nothing else).
// It stores nothing and sorts nothing, so its CPU time is a floor under the login time of a
// mailbox of that size.
//
//   fernd_bench_scan DIR/new [PASSES] [floor]
//
// prints one JSON object: the entries, and the median and least CPU time of a pass that only
// reads the directory and of one that also stats every entry (the floor). Then the same for the
// other ways of doing that work that might beat the floor without threads of our own and without
// an index saved between sessions, each in passes interleaved with the floor's:
//
//   getdents_stat     the directory read with getdents64 into one 4 MiB buffer, then fstatat
//   readdir_statx     statx with only the type, size and modification time asked for
//   inode_order_stat  the names read first, then stat'ed in the order of their inode numbers
//   uring_statx       the names read first, then statx through io_uring in batches of 256
//                     (only when built with liburing; "unavailable" when the kernel refuses)
//
// Each method must find the same regular files as the floor, or the tool fails. With "floor" as
// the last argument only the directory read alone and the floor run, for a figure to set a login
// against.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef FERND_BENCH_LIBURING
#include <liburing.h>
#endif

namespace fernd {
namespace {

/// Passes unless the command line says otherwise; the median of several rides out a busy machine.
constexpr int default_passes = 7;

/// Upper bound on passes, so that a typo cannot keep the machine busy for long.
constexpr int pass_limit = 100;

/// The buffer of the getdents64 method: a 100,000-entry directory in two or three calls.
constexpr std::size_t getdents_buffer_size = 4 << 20;

/// Status queries submitted to io_uring at once.
constexpr unsigned uring_batch = 256;

double cpu_ms() {
  rusage usage{};
  (void)::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

/// One pass over \a path; with \a with_stat every entry is also stat'ed as a scan does it.
/// Returns the regular files seen (every entry without stat), or -1 when the directory does not
/// open.
long scan_pass(const char* path, bool with_stat) {
  DIR* directory = ::opendir(path);
  if (directory == nullptr) {
    return -1;
  }
  const int directory_fd = ::dirfd(directory);
  long count = 0;
  while (const dirent* entry = ::readdir(directory)) {
    struct stat status {};
    if (!with_stat) {
      ++count;
    } else if (::fstatat(directory_fd, entry->d_name, &status, 0) == 0 && S_ISREG(status.st_mode)) {
      ++count;
    }
  }
  (void)::closedir(directory);
  return count;
}

// The fixed head of one record that getdents64 fills in (glibc declares no such type); the name
// follows d_type directly.
struct linux_dirent64_head {
  std::uint64_t d_ino;
  std::int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
};
constexpr std::size_t dirent64_name_offset = offsetof(linux_dirent64_head, d_type) + 1;

long getdents_pass(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  static const std::unique_ptr<char[]> buffer(new char[getdents_buffer_size]);
  long count = 0;
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd, buffer.get(), getdents_buffer_size);
    if (got <= 0) {
      break;
    }
    for (long at = 0; at < got;) {
      const char* record = buffer.get() + at;
      unsigned short length = 0;
      std::memcpy(&length, record + offsetof(linux_dirent64_head, d_reclen), sizeof length);
      struct stat status {};
      if (::fstatat(fd, record + dirent64_name_offset, &status, 0) == 0 &&
          S_ISREG(status.st_mode)) {
        ++count;
      }
      at += length;
    }
  }
  (void)::close(fd);
  return count;
}

long statx_pass(const char* path) {
  DIR* directory = ::opendir(path);
  if (directory == nullptr) {
    return -1;
  }
  const int directory_fd = ::dirfd(directory);
  long count = 0;
  while (const dirent* entry = ::readdir(directory)) {
    struct statx status {};
    if (::statx(directory_fd, entry->d_name, AT_STATX_SYNC_AS_STAT,
                STATX_TYPE | STATX_SIZE | STATX_MTIME, &status) == 0 &&
        S_ISREG(status.stx_mode)) {
      ++count;
    }
  }
  (void)::closedir(directory);
  return count;
}

struct named_inode {
  ino_t inode;
  std::string name;
};

/// Reads the names and inode numbers of \a directory; false when it does not open.
bool read_names(DIR* directory, std::vector<named_inode>* names) {
  names->clear();
  while (const dirent* entry = ::readdir(directory)) {
    names->push_back({entry->d_ino, entry->d_name});
  }
  return true;
}

long inode_order_pass(const char* path) {
  DIR* directory = ::opendir(path);
  if (directory == nullptr) {
    return -1;
  }
  std::vector<named_inode> names;
  read_names(directory, &names);
  std::sort(names.begin(), names.end(),
            [](const named_inode& a, const named_inode& b) { return a.inode < b.inode; });
  long count = 0;
  for (const named_inode& entry : names) {
    struct stat status {};
    if (::fstatat(::dirfd(directory), entry.name.c_str(), &status, 0) == 0 &&
        S_ISREG(status.st_mode)) {
      ++count;
    }
  }
  (void)::closedir(directory);
  return count;
}

#ifdef FERND_BENCH_LIBURING
/// Returns -2 when io_uring is not available here.
long uring_pass(const char* path) {
  io_uring ring{};
  if (::io_uring_queue_init(uring_batch, &ring, 0) != 0) {
    return -2;
  }
  DIR* directory = ::opendir(path);
  if (directory == nullptr) {
    ::io_uring_queue_exit(&ring);
    return -1;
  }
  std::vector<named_inode> names;
  read_names(directory, &names);
  std::vector<struct statx> results(uring_batch);
  long count = 0;
  for (std::size_t start = 0; start < names.size(); start += uring_batch) {
    const std::size_t batch = std::min<std::size_t>(uring_batch, names.size() - start);
    for (std::size_t i = 0; i < batch; ++i) {
      io_uring_sqe* sqe = ::io_uring_get_sqe(&ring);
      ::io_uring_prep_statx(sqe, ::dirfd(directory), names[start + i].name.c_str(),
                            AT_STATX_SYNC_AS_STAT, STATX_TYPE | STATX_SIZE | STATX_MTIME,
                            &results[i]);
      ::io_uring_sqe_set_data64(sqe, i);
    }
    if (::io_uring_submit_and_wait(&ring, static_cast<unsigned>(batch)) < 0) {
      count = -1;
      break;
    }
    for (std::size_t done = 0; done < batch; ++done) {
      io_uring_cqe* cqe = nullptr;
      if (::io_uring_wait_cqe(&ring, &cqe) != 0) {
        count = -1;
        break;
      }
      if (cqe->res == 0 && S_ISREG(results[::io_uring_cqe_get_data64(cqe)].stx_mode)) {
        ++count;
      }
      ::io_uring_cqe_seen(&ring, cqe);
    }
    if (count < 0) {
      break;
    }
  }
  (void)::closedir(directory);
  ::io_uring_queue_exit(&ring);
  return count;
}
#endif

struct pass_times {
  std::vector<double> ms;
  double median() {
    std::sort(ms.begin(), ms.end());
    const std::size_t middle = ms.size() / 2;
    return ms.size() % 2 == 1 ? ms[middle] : (ms[middle - 1] + ms[middle]) / 2;
  }
  double least() { return *std::min_element(ms.begin(), ms.end()); }
};

struct method {
  const char* name;
  long (*pass)(const char* path);
  pass_times times;
  bool unavailable = false;
};

long readdir_only(const char* path) {
  return scan_pass(path, false);
}
long readdir_stat(const char* path) {
  return scan_pass(path, true);
}

int scan_main(const char* path, int passes, bool floor_only) {
  std::vector<method> methods = {
      {"readdir", readdir_only, {}},
      {"readdir_stat", readdir_stat, {}},
      {"getdents_stat", getdents_pass, {}},
      {"readdir_statx", statx_pass, {}},
      {"inode_order_stat", inode_order_pass, {}},
#ifdef FERND_BENCH_LIBURING
      {"uring_statx", uring_pass, {}},
#endif
  };
  if (floor_only) {
    methods.erase(methods.begin() + 2, methods.end());  // readdir alone and the floor
  }
  long files = -1;
  for (int i = 0; i < passes; ++i) {
    for (method& m : methods) {
      if (m.unavailable) {
        continue;
      }
      const double start = cpu_ms();
      const long count = m.pass(path);
      const double used = cpu_ms() - start;
      if (count == -2) {
        m.unavailable = true;
        continue;
      }
      if (count < 0) {
        std::fprintf(stderr, "fernd_bench_scan: %s failed on %s\n", m.name, path);
        return 1;
      }
      if (m.pass != readdir_only) {
        if (files >= 0 && count != files) {
          std::fprintf(stderr, "fernd_bench_scan: %s found %ld files, the floor %ld\n", m.name,
                       count, files);
          return 1;
        }
        files = count;
      }
      m.times.ms.push_back(used);
    }
  }
  std::printf("{\"files\":%ld,\"passes\":%d", files, passes);
  for (method& m : methods) {
    const std::string key = m.pass == readdir_only   ? "readdir_cpu_ms"
                            : m.pass == readdir_stat ? "readdir_stat_cpu_ms"
                                                     : std::string(m.name) + "_cpu_ms";
    if (m.unavailable) {
      std::printf(",\"%s\":\"unavailable\"", key.c_str());
    } else {
      std::printf(",\"%s\":{\"median\":%.1f,\"min\":%.1f}", key.c_str(), m.times.median(),
                  m.times.least());
    }
  }
  std::printf("}\n");
  return 0;
}

}  // namespace
}  // namespace fernd

int main(int argc, char** argv) {
  int passes = fernd::default_passes;
  if (argc >= 3) {
    passes = std::atoi(argv[2]);
  }
  const bool floor_only = argc == 4 && std::strcmp(argv[3], "floor") == 0;
  if (argc < 2 || argc > 4 || (argc == 4 && !floor_only) || passes < 1 ||
      passes > fernd::pass_limit) {
    std::fputs("usage: fernd_bench_scan DIR/new [PASSES] [floor]\n", stderr);
    return 2;
  }
  return fernd::scan_main(argv[1], passes, floor_only);
}
