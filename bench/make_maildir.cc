// fernd_bench_maildir: writes a Maildir of generated messages for the benchmarks, fast.
//
//   fernd_bench_maildir DIR COUNT SIZE
//
// creates DIR/new, DIR/cur and DIR/tmp and writes COUNT messages of SIZE bytes each into DIR/new:
// a few header lines, an empty line and a body, every line 80 bytes with its LF (the last one
// shorter when SIZE is no multiple of 80), every 100th body line beginning with a dot. Message n
// is given a modification time n minutes after a fixed start, as in a mailbox that grew by
// delivery: the scan then orders them by time, not by name. It prints
// one JSON object: the count, the bytes on disk, and the bytes a RETR of one of these messages
// puts on the wire ("+OK" line, CR LF line ends, dot-stuffing, terminator), which the driver
// checks every transfer against.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fernd {
namespace {

/// Changes whenever the generated Maildirs change, so that the driver regenerates old ones.
constexpr int maildir_format = 2;

/// Every generated line is this long, LF included: the shape of the messages the goals name.
constexpr std::size_t line_bytes = 80;

/// One body line in this many begins with a dot, so that dot-stuffing is part of every transfer.
constexpr std::uint64_t dot_line_interval = 100;

/// Messages are assembled and written in blocks of about this size.
constexpr std::size_t write_block = 1 << 20;

/// Modification time of message 1 (2024-01-01 00:00:00 UTC); message n is n-1 steps later.
constexpr std::int64_t first_mtime = 1'704'067'200;
constexpr std::int64_t mtime_step = 60;

/// Largest message the generator writes, so that a typo cannot fill the disk.
constexpr std::uint64_t size_limit = 2'000'000'000;

/// Largest number of messages, for the same reason.
constexpr std::uint64_t count_limit = 1'000'000;

/// Appends one line of exactly \a length bytes (LF included) that starts with \a head.
void append_line(std::string* out, const std::string& head, std::size_t length) {
  std::string line = head.substr(0, length - 1);
  static constexpr char filler[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::size_t k = line.size();
  while (line.size() < length - 1) {
    line += filler[k++ % (sizeof filler - 1)];
  }
  line += '\n';
  *out += line;
}

/// The message text of \a size bytes; \a number goes into its Subject line.
std::string message_text(std::uint64_t number, std::uint64_t size) {
  std::string head;
  append_line(&head, "Return-Path: <bench@localhost> ", line_bytes);
  append_line(&head, "From: Bench Sender <bench@localhost> ", line_bytes);
  append_line(&head, "To: Bench Reader <reader@localhost> ", line_bytes);
  append_line(&head, "Subject: benchmark message " + std::to_string(number) + " ", line_bytes);
  append_line(&head, "Message-ID: <" + std::to_string(number) + ".bench@localhost> ", line_bytes);
  // The last header line is one byte short so that it and the empty line make 80 bytes.
  append_line(&head, "Date: Mon, 1 Jan 2024 00:00:00 +0000 ", line_bytes - 1);
  head += '\n';
  std::string text;
  text.reserve(static_cast<std::size_t>(size));
  text = head.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), size)));
  for (std::uint64_t i = 1; text.size() < size; ++i) {
    const std::size_t left = static_cast<std::size_t>(size - text.size());
    const std::string start = i % dot_line_interval == 0 ? ".body line " : "body line ";
    append_line(&text, start + std::to_string(i) + " ", std::min(line_bytes, left));
  }
  return text;
}

/// Bytes that RETR sends for \a text: each line with CR LF, a dot before each line that begins
/// with one, the LF-less last line ended, and the "+OK\r\n" and ".\r\n" around it.
std::uint64_t wire_bytes(const std::string& text) {
  std::uint64_t bytes = 5 + 3;
  bool line_start = true;
  for (const char c : text) {
    if (line_start && c == '.') {
      ++bytes;
    }
    bytes += c == '\n' ? 2 : 1;
    line_start = c == '\n';
  }
  if (!text.empty() && text.back() != '\n') {
    bytes += 2;
  }
  return bytes;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool make_dir(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

int generate(const std::string& dir, std::uint64_t count, std::uint64_t size) {
  for (const char* sub : {"", "/new", "/cur", "/tmp"}) {
    if (!make_dir(dir + sub)) {
      std::fprintf(stderr, "fernd_bench_maildir: cannot create %s%s: %s\n", dir.c_str(), sub,
                   std::strerror(errno));
      return 1;
    }
  }
  std::uint64_t disk = 0;
  std::uint64_t wire = 0;
  for (std::uint64_t n = 1; n <= count; ++n) {
    const std::string text = message_text(n, size);
    wire = wire_bytes(text);  // the same for every message of one run
    char name[96];
    std::snprintf(name, sizeof name, "/new/%010" PRIu64 ".M%" PRIu64 "P%d.bench,S=%" PRIu64, n, n,
                  static_cast<int>(::getpid()), size);
    const std::string path = dir + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::fprintf(stderr, "fernd_bench_maildir: cannot create %s: %s\n", path.c_str(),
                   std::strerror(errno));
      return 1;
    }
    bool ok = true;
    for (std::size_t at = 0; ok && at < text.size(); at += write_block) {
      ok = write_all(fd, text.data() + at, std::min(write_block, text.size() - at));
    }
    const timespec mtime{
        static_cast<time_t>(first_mtime + mtime_step * static_cast<std::int64_t>(n - 1)), 0};
    const timespec times[2] = {mtime, mtime};  // access and modification
    ok = ok && ::futimens(fd, times) == 0;
    if (::close(fd) != 0 || !ok) {
      std::fprintf(stderr, "fernd_bench_maildir: cannot write %s\n", path.c_str());
      return 1;
    }
    disk += text.size();
  }
  std::printf("{\"format\":%d,\"messages\":%" PRIu64 ",\"message_bytes\":%" PRIu64
              ",\"disk_bytes\":%" PRIu64 ",\"retr_wire_bytes\":%" PRIu64 "}\n",
              maildir_format, count, size, disk, wire);
  return 0;
}

bool parse_count(const char* text, std::uint64_t limit, std::uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || errno != 0 || *end != '\0' || value > limit) {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace
}  // namespace fernd

int main(int argc, char** argv) {
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  if (argc != 4 || !fernd::parse_count(argv[2], fernd::count_limit, &count) ||
      !fernd::parse_count(argv[3], fernd::size_limit, &size)) {
    std::fputs("usage: fernd_bench_maildir DIR COUNT SIZE\n", stderr);
    return 2;
  }
  return fernd::generate(argv[1], count, size);
}
