#include "pop3/output_block.h"

#include <stdio_ext.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/posix_handle.h"
#include "pop3/pop3_io.h"
#include "support/transcript.h"

namespace fernd {
namespace {

// A line-buffered stream on one end of a SOCK_SEQPACKET socket pair. Every write(2) on it arrives
// as one record at the other end, so the reader sees exactly how the stream wrote.
constexpr char status_line[] = "+OK\r\n";

struct counted_output {
  unique_file stream;
  std::vector<std::string> records;
  std::thread reader;

  counted_output() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds));
    unique_fd read_end(fds[1]);
    stream.reset(::fdopen(fds[0], "w"));
    EXPECT_NE(nullptr, stream);
    ::setlinebuf(stream.get());
    // As in a session, the stream has written a reply before the first long one.
    (void)std::fputs(status_line, stream.get());
    reader = std::thread([this, fd = std::move(read_end)] {
      std::vector<char> buffer(1 << 20);
      for (;;) {
        const ssize_t n = ::recv(fd.fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
          return;
        }
        records.emplace_back(buffer.data(), static_cast<std::size_t>(n));
      }
    });
  }

  // Closes the stream and returns everything written after the status line, which left alone.
  std::string finish() {
    stream.reset();
    reader.join();
    EXPECT_FALSE(records.empty());
    if (records.empty()) {
      return {};
    }
    EXPECT_EQ(status_line, records.front());
    records.erase(records.begin());
    std::string all;
    for (const std::string& record : records) {
      all += record;
    }
    return all;
  }
};

std::string lines_of(std::size_t count, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += std::string(length - 2, static_cast<char>('a' + i % 26)) + "\r\n";
  }
  return text;
}

TEST(OutputBlock, GathersManyLinesIntoFewWrites) {
  // Sizes around the block size and the stream's 4096-byte buffer, all with short lines, as in
  // a LIST or UIDL listing.
  for (const std::size_t count : {1u, 5u, 372u, 373u, 745u, 6000u, 18000u}) {
    SCOPED_TRACE(count);
    const std::string reply = lines_of(count, 11) + ".\r\n";
    counted_output out;
    {
      output_block block(out.stream.get());
      for (std::size_t at = 0; at < reply.size(); at += 11) {
        output_block_put(&block, reply.data() + at, std::min<std::size_t>(11, reply.size() - at));
      }
      EXPECT_EQ(0, output_block_finish(&block));
      // The reply has left in full before the stream is closed.
      EXPECT_EQ(0u, ::__fpending(out.stream.get()));
    }
    EXPECT_TRUE(same_bytes(reply, out.finish()));
    // Two writes per full block, at most three for the rest.
    const std::size_t full_blocks = reply.size() / output_block_size;
    EXPECT_LE(out.records.size(), 2 * full_blocks + 3);
    if (reply.size() <= 4096) {
      EXPECT_EQ(1u, out.records.size());
    }
  }
}

TEST(SendMailFile, GathersLinesIntoFewWrites) {
  for (const std::size_t count : {3u, 50u, 1000u, 13107u}) {
    SCOPED_TRACE(count);
    const std::string file = lines_of(count, 80) + "no line end";
    unique_file message{std::tmpfile()};
    ASSERT_NE(nullptr, message);
    ASSERT_EQ(file.size(), std::fwrite(file.data(), 1, file.size(), message.get()));
    std::rewind(message.get());
    counted_output out;
    EXPECT_EQ(0, send_mail_file(message.get(), out.stream.get()));
    const std::string wire = out.finish();
    EXPECT_TRUE(same_bytes(file + "\r\n", wire));
    const std::size_t full_blocks = wire.size() / output_block_size;
    EXPECT_LE(out.records.size(), 2 * full_blocks + 3);
    if (wire.size() <= 4096) {
      EXPECT_EQ(1u, out.records.size());
    }
  }
}

}  // namespace
}  // namespace fernd
