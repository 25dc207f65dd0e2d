#include "pop3/transmission.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/posix_handle.h"
#include "support/temp_maildir.h"

namespace fernd {
namespace {

// A descriptor of a new unlinked temporary file holding exactly \a content, at its start.
unique_fd file_with(const std::string& content) {
  unique_fd fd(::open(::testing::TempDir().c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
  EXPECT_GE(fd.fd, 0);
  EXPECT_EQ(static_cast<ssize_t>(content.size()),
            ::pwrite(fd.fd, content.data(), content.size(), 0));
  return fd;
}

// Everything in the file open on \a fd.
std::string file_contents(int fd) {
  std::string text;
  char chunk[65536];
  off_t at = 0;
  for (;;) {
    const ssize_t size = ::pread(fd, chunk, sizeof chunk, at);
    if (size <= 0) {
      return text;
    }
    text.append(chunk, static_cast<std::size_t>(size));
    at += size;
  }
}

// Sends \a file through send_mail_file into a connection on a temporary file; returns the bytes
// that reached the file.
std::string transmit(const std::string& file, bool* result) {
  const unique_fd message = file_with(file);
  const unique_fd out = file_with("");
  connection c(-1, out.fd);
  *result = send_mail_file(message.fd, c);
  EXPECT_TRUE(connection_flush(c));
  return file_contents(out.fd);
}

// Sends \a file through send_mail_top with \a body_lines, as transmit() does.
std::string transmit_top(const std::string& file, std::uint64_t body_lines, bool* result) {
  const unique_fd message = file_with(file);
  const unique_fd out = file_with("");
  connection c(-1, out.fd);
  *result = send_mail_top(message.fd, body_lines, c);
  EXPECT_TRUE(connection_flush(c));
  return file_contents(out.fd);
}

// What TOP must send, worked out from the whole message's wire form: its lines are the stretches
// that CR LF ends, and the empty one is CR LF alone. The header's lines up to and including the
// first empty one (all lines when there is none), then at most \a body_lines more.
std::string reference_top(const std::string& wire, std::uint64_t body_lines) {
  std::size_t at = 0;
  bool in_header = true;
  while (at < wire.size() && (in_header || body_lines > 0)) {
    const std::size_t end = wire.find("\r\n", at) + 2;
    if (!in_header) {
      --body_lines;
    } else if (end - at == 2) {
      in_header = false;
    }
    at = end;
  }
  return wire.substr(0, at);
}

// The number of lines of a wire form.
std::uint64_t wire_lines(const std::string& wire) {
  std::uint64_t count = 0;
  for (std::size_t at = wire.find("\r\n"); at != std::string::npos;
       at = wire.find("\r\n", at + 2)) {
    ++count;
  }
  return count;
}

TEST(SendMailFile, TransmissionTable) {
  const std::string x1022(1022, 'x');
  const std::string x1023(1023, 'x');
  const std::string x1024(1024, 'x');
  const std::string x2500(2500, 'x');
  // The reader works in 64 KiB blocks; these put a line end or a line start on its seams.
  const std::string x65535(65535, 'x');
  const std::string x65536(65536, 'x');
  struct transfer_case {
    std::string file;
    std::string wire;
  };
  const transfer_case cases[] = {
      {"", ""},
      {"a\n", "a\r\n"},
      {"a\r\n", "a\r\n"},
      {"\n", "\r\n"},
      {"\r\n", "\r\n"},
      {"a\nb\r\nc\n", "a\r\nb\r\nc\r\n"},
      // A last line without LF still ends with a line end, also one that ends in CR.
      {"a", "a\r\n"},
      {"a\nb", "a\r\nb\r\n"},
      {"x\r", "x\r\r\n"},
      // CR anywhere but right before LF is sent unchanged.
      {"a\rb\n", "a\rb\r\n"},
      {"a\r\r\n", "a\r\r\n"},
      {"\r", "\r\r\n"},
      // Dot-stuffing: only the first byte of a line counts; an empty line is never stuffed.
      {".\n", "..\r\n"},
      {"..\n", "...\r\n"},
      {".x\r\n", "..x\r\n"},
      {"a\n.\n", "a\r\n..\r\n"},
      {"a\r\n.b\r\n", "a\r\n..b\r\n"},
      {".", "..\r\n"},
      {"x.y\n .z\n", "x.y\r\n .z\r\n"},
      {"a\r.b\n", "a\r.b\r\n"},
      // Long lines leave whole, with exactly one line end.
      {x1022 + "\n", x1022 + "\r\n"},
      {x1023 + "\n", x1023 + "\r\n"},
      {x1024 + "\n", x1024 + "\r\n"},
      {x2500 + "\n" + "b\n", x2500 + "\r\n" + "b\r\n"},
      {x1022 + "\r\n", x1022 + "\r\n"},
      {x1023, x1023 + "\r\n"},
      {x2500, x2500 + "\r\n"},
      // A '.' inside a long line is text, wherever an older chunked reader would have cut it.
      {x1023 + ".y\n", x1023 + ".y\r\n"},
      {"." + x1022 + ".y\n", ".." + x1022 + ".y\r\n"},
      {x1023 + "\n.\n", x1023 + "\r\n..\r\n"},
      // A CR as the 1023rd byte is kept, whatever follows it.
      {x1022 + "\r", x1022 + "\r\r\n"},
      {x1022 + "\ry\n", x1022 + "\ry\r\n"},
      // NUL bytes are sent like any other byte, at a line start and inside a line.
      {std::string("a\0b\n", 4), std::string("a\0b\r\n", 5)},
      {std::string("\0x\n.\n", 5), std::string("\0x\r\n..\r\n", 8)},
      {std::string("a\n\0\nb", 5), std::string("a\r\n\0\r\nb\r\n", 9)},
      {std::string("\0", 1), std::string("\0\r\n", 3)},
      // Seams of the 64 KiB read blocks.
      {x65535 + "\r\n", x65535 + "\r\n"},
      {x65535 + "\n.y\n", x65535 + "\r\n..y\r\n"},
      {x65536 + "\n", x65536 + "\r\n"},
      {x65535 + "\r", x65535 + "\r\r\n"},
      {x65535 + "\rz\n", x65535 + "\rz\r\n"},
      {x65536 + ".\n", x65536 + ".\r\n"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    bool result = false;
    EXPECT_EQ(cases[i].wire, transmit(cases[i].file, &result));
    EXPECT_TRUE(result);
    // TOP of the same file: every line count up to past the end, and the largest one, which
    // sends exactly what the whole transmission sends.
    for (std::uint64_t lines = 0; lines <= wire_lines(cases[i].wire) + 1; ++lines) {
      SCOPED_TRACE(lines);
      result = false;
      EXPECT_EQ(reference_top(cases[i].wire, lines), transmit_top(cases[i].file, lines, &result));
      EXPECT_TRUE(result);
    }
    EXPECT_EQ(cases[i].wire, transmit_top(cases[i].file, UINT64_MAX, &result));
    EXPECT_TRUE(result);
  }
}

TEST(SendMailTop, HeaderAndBodyLines) {
  struct top_case {
    std::string file;
    std::uint64_t lines;
    std::string wire;
  };
  const std::string h65535(65535, 'h');
  const top_case cases[] = {
      {"A: 1\n\nb1\nb2\n", 0, "A: 1\r\n\r\n"},
      {"A: 1\n\nb1\nb2\n", 1, "A: 1\r\n\r\nb1\r\n"},
      {"A: 1\r\n\r\nb1\r\nb2\r\n", 1, "A: 1\r\n\r\nb1\r\n"},
      {"A: 1\r\n\nb1\n", 0, "A: 1\r\n\r\n"},
      {"A: 1\n\r\r\nB: 2\n\nb1\n", 0, "A: 1\r\n\r\r\nB: 2\r\n\r\n"},
      {"A: 1\nB: 2", 0, "A: 1\r\nB: 2\r\n"},
      {"A: 1\n\nlast", 1, "A: 1\r\n\r\nlast\r\n"},
      {".A\n\n.\nx\n", 1, "..A\r\n\r\n..\r\n"},
      {std::string("\0\n\n\0\n\0\n", 7), 1, std::string("\0\r\n\r\n\0\r\n", 8)},
      {"\n\n\n", 1, "\r\n\r\n"},
      {"", 0, ""},
      // The header's last line ends the first read block, the empty line begins the second.
      {h65535 + "\n\nb\n", 0, h65535 + "\r\n\r\n"},
      {"A\n" + h65535 + "\n\nb\n", 0, "A\r\n" + h65535 + "\r\n\r\n"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    bool result = false;
    EXPECT_EQ(cases[i].wire, transmit_top(cases[i].file, cases[i].lines, &result));
    EXPECT_TRUE(result);
  }
}

// \a line repeated until the text is at least \a size bytes long.
std::string repeated_line(const std::string& line, std::size_t size) {
  std::string text;
  while (text.size() < size) {
    text += line;
  }
  return text;
}

// The plain rule, one byte at a time: what the transmission must produce for any file.
std::string reference_wire(const std::string& file) {
  std::string wire;
  char previous = '\n';
  for (const char c : file) {
    if (previous == '\n' && c == '.') {
      wire += '.';
    }
    if (c == '\n' && previous != '\r') {
      wire += '\r';
    }
    wire += c;
    previous = c;
  }
  if (!file.empty() && file.back() != '\n') {
    wire += "\r\n";
  }
  return wire;
}

TEST(SendMailFile, StreamsALargeFileAcrossEverySeam) {
  // About 3 MiB of lines of many lengths and endings, so that line ends, dots and CRs land on
  // every offset of the read and write blocks. The generator is fixed, so every run is the same.
  std::string file;
  std::uint32_t seed = 12345;
  const char alphabet[] = {'.', '\r', '\n', '\0', 'a', 'b', 'c', ' '};
  while (file.size() < 3u * 1024 * 1024) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t length = (seed >> 8) % 3000;
    seed = seed * 1103515245u + 12345u;
    const char lead = alphabet[(seed >> 16) % std::size(alphabet)];
    file += lead;
    file.append(length, static_cast<char>('d' + (seed >> 20) % 20));
    seed = seed * 1103515245u + 12345u;
    file += (seed >> 16) % 3 == 0 ? "\r\n" : ((seed >> 16) % 3 == 1 ? "\n" : "\r");
  }
  bool result = false;
  const std::string wire = transmit(file, &result);
  EXPECT_TRUE(result);
  EXPECT_EQ(reference_wire(file).size(), wire.size());
  EXPECT_TRUE(reference_wire(file) == wire);
  // TOP of the same file, wherever its first empty line falls: a few body lines, many, and all.
  for (const std::uint64_t lines : {std::uint64_t{3}, std::uint64_t{1500}, UINT64_MAX}) {
    SCOPED_TRACE(lines);
    const std::string top = transmit_top(file, lines, &result);
    EXPECT_TRUE(result);
    EXPECT_TRUE(reference_top(wire, lines) == top);
  }
}

TEST(SendMailTop, ReadsNoFurtherThanItSends) {
  // A header, the empty line and 4 MB of body: TOP with no body line reads the block that holds
  // the header and stops there; the file position shows how far it read.
  std::string file = "Subject: large\n\n";
  while (file.size() < 4u * 1024 * 1024) {
    file += std::string(78, 'b') + "\n";
  }
  const struct {
    std::uint64_t lines;
    off_t read_at_most;
  } cases[] = {
      {0, 64 * 1024},
      {1, 64 * 1024},
      {10'000, 1024 * 1024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    const unique_fd message = file_with(file);
    const unique_fd out = file_with("");
    connection sink(-1, out.fd);
    ASSERT_TRUE(send_mail_top(message.fd, c.lines, sink));
    ASSERT_TRUE(connection_flush(sink));
    EXPECT_LE(::lseek(message.fd, 0, SEEK_CUR), c.read_at_most);
    EXPECT_EQ(reference_top(reference_wire(file), c.lines), file_contents(out.fd));
  }
}

TEST(SendMailFile, LongMessagesAcrossTheSeamsOfTheirOwnBuffer) {
  // A message of a mebibyte and more is read in 1 MiB blocks into a transfer buffer of its own
  // and formed in 1 MiB of output; these put a line end, a CR LF pair or a line start on the
  // seams of both, and the message's wire form must be the same as through the small buffers.
  constexpr std::size_t block = std::size_t{1} << 20;
  const std::string x_block(block, 'x');
  struct long_case {
    const char* what;
    std::string file;
  };
  const long_case cases[] = {
      {"one block of lines", repeated_line("a line of text\n", block)},
      {"CR at the end of a block, LF after it", x_block.substr(1) + "\r\n" + "z\n"},
      {"LF at the end of a block, a dot after it", x_block.substr(1) + "\n.y\n" + x_block},
      {"lone CR at the end of a block", x_block.substr(1) + "\rz\n" + x_block},
      {"no final line end", x_block + x_block + "tail"},
      {"a dot right after the first block", x_block.substr(2) + "\r\n" + "." + x_block + "\n"},
      {"only line ends", std::string(block + 3, '\n')},
      {"only dotted lines", repeated_line(".\n", 3 * block)},
  };
  for (const long_case& each : cases) {
    SCOPED_TRACE(each.what);
    bool result = false;
    const std::string wire = transmit(each.file, &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(reference_wire(each.file).size(), wire.size());
    EXPECT_TRUE(reference_wire(each.file) == wire);
  }
}

TEST(SendMailFile, FailsWhenTheOutputFails) {
  // /dev/full refuses every write with ENOSPC. A message that fits the output buffer is formed
  // there and fails when the buffer is written; a large one fails at its first full buffer.
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.fd, 0);
  for (const std::size_t size : {std::size_t{10}, std::size_t{300'000}}) {
    SCOPED_TRACE(size);
    const unique_fd message = file_with(std::string(size, 'm') + "\n");
    connection c(-1, full.fd);
    const bool sent = send_mail_file(message.fd, c);
    EXPECT_EQ(size < connection_output_size, sent);
    EXPECT_FALSE(connection_flush(c));
    EXPECT_TRUE(c.output_failed);
  }
}

TEST(SendMailTop, FailsAsSendMailFileFails) {
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.fd, 0);
  for (const std::size_t size : {std::size_t{10}, std::size_t{300'000}}) {
    SCOPED_TRACE(size);
    const unique_fd message = file_with("A: 1\n\n" + std::string(size, 'm') + "\n");
    connection c(-1, full.fd);
    const bool sent = send_mail_top(message.fd, 1, c);
    EXPECT_EQ(size < connection_output_size, sent);
    EXPECT_FALSE(connection_flush(c));
    EXPECT_TRUE(c.output_failed);
  }
  temp_maildir dir;
  const unique_fd directory(::open(dir.path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_GE(directory.fd, 0);
  const unique_fd out = file_with("");
  connection c(-1, out.fd);
  EXPECT_FALSE(send_mail_top(directory.fd, 0, c));
  EXPECT_FALSE(c.output_failed);
  EXPECT_EQ(0u, c.output_used);
}

TEST(SendMailFile, LongMessageFailsWhenTheOutputFails) {
  // Through its own transfer buffer a long message fails at the first full buffer of output,
  // and a message that fills none fails when the buffer goes back to the connection.
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.fd, 0);
  for (const std::size_t size : {std::size_t{1} << 20, std::size_t{3} << 20}) {
    SCOPED_TRACE(size);
    const unique_fd message = file_with(std::string(size, 'm') + "\n");
    connection c(-1, full.fd);
    EXPECT_FALSE(send_mail_file(message.fd, c));
    EXPECT_TRUE(c.output_failed);
    EXPECT_EQ(c.own_output.data(), c.output.data());
  }
}

TEST(SendMailFile, FailsWhenTheMessageCannotBeRead) {
  temp_maildir dir;
  // A directory opens, but every read of it fails.
  const unique_fd message(::open(dir.path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_GE(message.fd, 0);
  const unique_fd out = file_with("");
  connection c(-1, out.fd);
  EXPECT_FALSE(send_mail_file(message.fd, c));
  EXPECT_FALSE(c.output_failed);
  EXPECT_EQ(0u, c.output_used);
}

}  // namespace
}  // namespace fernd
