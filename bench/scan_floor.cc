// fernd_bench_scan: the least work that any server must do to number the messages of a Maildir
// at login, measured on this machine: read every entry of new/ and stat it (the size that STAT
// and LIST report and the modification time that orders the messages come from nothing else).
// It stores nothing and sorts nothing, so its CPU time is a floor under the login time of a
// mailbox of that size.
//
//   fernd_bench_scan DIR/new [PASSES]
//
// prints one JSON object: the entries, and the median and least CPU time of a pass that only
// reads the directory and of one that also stats every entry.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fernd {
namespace {

/// Passes unless the command line says otherwise; the median of several rides out a busy machine.
constexpr int default_passes = 7;

/// Upper bound on passes, so that a typo cannot keep the machine busy for long.
constexpr int pass_limit = 100;

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

struct pass_times {
  std::vector<double> ms;
  double median() {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }
  double least() { return *std::min_element(ms.begin(), ms.end()); }
};

int scan_main(const char* path, int passes) {
  pass_times read_only;
  pass_times with_stat;
  long files = 0;
  for (int i = 0; i < passes; ++i) {
    for (const bool stat_each : {false, true}) {
      const double start = cpu_ms();
      const long count = scan_pass(path, stat_each);
      const double used = cpu_ms() - start;
      if (count < 0) {
        std::fprintf(stderr, "fernd_bench_scan: cannot open %s\n", path);
        return 1;
      }
      (stat_each ? with_stat : read_only).ms.push_back(used);
      if (stat_each) {
        files = count;
      }
    }
  }
  std::printf(
      "{\"files\":%ld,\"passes\":%d,\"readdir_cpu_ms\":{\"median\":%.1f,\"min\":%.1f},"
      "\"readdir_stat_cpu_ms\":{\"median\":%.1f,\"min\":%.1f}}\n",
      files, passes, read_only.median(), read_only.least(), with_stat.median(), with_stat.least());
  return 0;
}

}  // namespace
}  // namespace fernd

int main(int argc, char** argv) {
  int passes = fernd::default_passes;
  if (argc == 3) {
    passes = std::atoi(argv[2]);
  }
  if (argc < 2 || argc > 3 || passes < 1 || passes > fernd::pass_limit) {
    std::fputs("usage: fernd_bench_scan DIR/new [PASSES]\n", stderr);
    return 2;
  }
  return fernd::scan_main(argv[1], passes);
}
