#include "pop3/connection.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/page_memory.h"
#include "common/posix_handle.h"
#include "support/fd_reading.h"
#include "support/transcript.h"

namespace fernd {
namespace {

using namespace std::string_literals;

// Far beyond any wait here; only a hang reaches it.
constexpr std::chrono::seconds ceiling(60);

struct socket_ends {
  unique_fd near;  // the connection's side
  unique_fd far;   // the client's side
};

// A socket pair of \a type; on SOCK_SEQPACKET every write(2) arrives as one record.
socket_ends socket_pair(int type) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(0, ::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds));
  return {unique_fd(fds[0]), unique_fd(fds[1])};
}

// The records that arrive at \a fd until the other side closes: one per write of the sender.
std::vector<std::string> records_until_closed(int fd) {
  std::vector<std::string> records;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      return records;
    }
    records.emplace_back(buffer.data(), static_cast<std::size_t>(n));
  }
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

// The lines read_line yields from \a input until it fails; the failure itself is not listed.
std::vector<std::string> read_all_lines(const std::string& input) {
  socket_ends ends = socket_pair(SOCK_STREAM);
  send_all(ends.far.fd, input);
  ends.far.reset();  // the end of the input follows its last byte
  connection c(ends.near.fd, ends.near.fd);
  std::vector<std::string> lines;
  // More attempts than any case has lines: a reader that never fails ends the loop too.
  for (int i = 0; i < 8; ++i) {
    const command_line line = read_line(c);
    if (line.status != line_status::ready) {
      break;
    }
    lines.emplace_back(line.text);
  }
  return lines;
}

TEST(ReadLine, Samples) {
  const std::string x1021(1021, 'x');
  const std::string x1022(1022, 'x');
  const std::string x1023(1023, 'x');
  struct line_case {
    std::string input;
    std::vector<std::string> lines;  // read successfully, in order, before the first failure
  };
  const line_case cases[] = {
      {"QUIT\r\n", {"QUIT"}},
      {"QUIT\n", {"QUIT"}},
      {"USER a\r\nPASS b c \r\n", {"USER a", "PASS b c "}},
      {"\r\n\n", {"", ""}},
      // Only the CR right before the LF is a line end; every other CR is text.
      {"a\r\r\n", {"a\r"}},
      {"a\rb\n", {"a\rb"}},
      {"\rQUIT\r\n", {"\rQUIT"}},
      // 1022 characters fit with their LF; 1023 do not, and a CR counts as one.
      {x1022 + "\n", {x1022}},
      {x1021 + "\r\n", {x1021}},
      {x1023 + "\n", {}},
      {x1022 + "\r\n", {}},
      {"NOOP\r\n" + x1023 + "\nQUIT\r\n", {"NOOP"}},
      // Lines that straddle the end of the input buffer's first fill.
      {repeated(std::string(1000, 'a') + "\r\n", 5) + "QUIT\r\n",
       {std::string(1000, 'a'), std::string(1000, 'a'), std::string(1000, 'a'),
        std::string(1000, 'a'), std::string(1000, 'a'), "QUIT"}},
      {repeated(x1021 + "\r\n", 5) + x1022 + "\n", {x1021, x1021, x1021, x1021, x1021, x1022}},
      // A NUL byte anywhere in a line refuses it.
      {"\0QUIT\r\n"s, {}},
      {"QU\0IT\r\n"s, {}},
      {"NOOP\r\nQUIT\0\n"s, {"NOOP"}},
      // A last line without LF, and the end of input, are failures.
      {"QUIT", {}},
      {"NOOP\r\nQUIT", {"NOOP"}},
      {"NOOP\r\nQUIT\r", {"NOOP"}},
      {"", {}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].lines, read_all_lines(cases[i].input));
  }
}

TEST(ReadLine, RepliesLeaveBeforeItWaits) {
  // A reply that waited in the buffer while the session waits for the client's next command
  // would leave both waiting for ever.
  socket_ends ends = socket_pair(SOCK_STREAM);
  connection c(ends.near.fd, ends.near.fd);
  ASSERT_TRUE(connection_put(c, "+OK fernd ready.\r\n"));
  std::string seen;
  std::thread client([&] {
    seen = read_exactly(ends.far.fd, 18, ceiling);
    send_all(ends.far.fd, "QUIT\r\n");
  });
  const command_line line = read_line(c);
  client.join();
  EXPECT_EQ("+OK fernd ready.\r\n", seen);
  ASSERT_EQ(line_status::ready, line.status);
  EXPECT_STREQ("QUIT", line.text);
}

TEST(Connection, EachReplyLeavesBeforeTheNextCommandIsRead) {
  // Commands sent together are still answered one by one: a reply that waited for the next command
  // would let the session run that command before it learns that the reply could not be written.
  socket_ends ends = socket_pair(SOCK_SEQPACKET);
  send_all(ends.far.fd, "NOOP\r\nNOOP\r\nSTAT\r\n");
  {
    connection c(ends.near.fd, ends.near.fd);
    for (int i = 0; i < 3; ++i) {
      const command_line line = read_line(c);
      ASSERT_EQ(line_status::ready, line.status);
      ASSERT_TRUE(connection_put(c, "+OK " + std::string(line.text) + "\r\n"));
    }
    ASSERT_TRUE(connection_flush(c));
  }
  ends.near.reset();
  EXPECT_EQ((std::vector<std::string>{"+OK NOOP\r\n", "+OK NOOP\r\n", "+OK STAT\r\n"}),
            records_until_closed(ends.far.fd));
}

TEST(Connection, FailedReplyStopsTheNextCommandUnlessTheCheckIsSkipped) {
  // The client stops reading, then sends two commands at once. The first one's reply cannot be
  // written, and the second command is not handed out; only a read that skips the check gets it.
  (void)std::signal(SIGPIPE, SIG_IGN);  // as the session does: a write to the gone reader fails
  for (const output_check check : {output_check::before_reading, output_check::skipped}) {
    socket_ends ends = socket_pair(SOCK_STREAM);
    ASSERT_EQ(0, ::shutdown(ends.far.fd, SHUT_RD));
    send_all(ends.far.fd, "NOOP\r\nQUIT\r\n");
    connection c(ends.near.fd, ends.near.fd);
    ASSERT_EQ(line_status::ready, read_line(c).status);
    connection_send(c, "+OK\r\n");
    const command_line next = read_line(c, check);
    EXPECT_TRUE(c.output_failed);
    if (check == output_check::before_reading) {
      EXPECT_EQ(line_status::output_error, next.status);
    } else {
      ASSERT_EQ(line_status::ready, next.status);
      EXPECT_STREQ("QUIT", next.text);
    }
  }
}

TEST(Connection, GathersLongRepliesIntoLargeWrites) {
  // A listing of short lines, put line by line and formed in reserved room, and one large piece:
  // every write but the last is a (nearly) full buffer.
  for (const std::size_t lines : {1u, 5000u, 5958u, 5959u, 60000u}) {
    SCOPED_TRACE(lines);
    socket_ends ends = socket_pair(SOCK_SEQPACKET);
    std::string expected;
    std::vector<std::string> records;
    std::thread reader([&] { records = records_until_closed(ends.far.fd); });
    {
      connection c(ends.near.fd, ends.near.fd);
      for (std::size_t i = 0; i < lines; ++i) {
        const std::string line = std::to_string(i) + " 1234\r\n";
        expected += line;
        if (i % 2 == 0) {
          ASSERT_TRUE(connection_put(c, line));
        } else {
          const std::span<char> room = connection_reserve(c, line.size());
          ASSERT_GE(room.size(), line.size());
          std::memcpy(room.data(), line.data(), line.size());
          connection_commit(c, line.size());
        }
      }
      const std::string piece(200'000, 'p');
      expected += piece;
      ASSERT_TRUE(connection_put(c, piece));
      ASSERT_TRUE(connection_flush(c));
    }
    ends.near.reset();
    reader.join();
    std::string all;
    for (const std::string& record : records) {
      all += record;
    }
    EXPECT_TRUE(same_bytes(expected, all));
    ASSERT_FALSE(records.empty());
    // Room asked for and not left in the buffer makes it leave a little early.
    const std::size_t least = connection_output_size - 16;
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
      EXPECT_LE(least, records[i].size()) << "write " << i;
    }
    EXPECT_GE((expected.size() + least - 1) / least, records.size());
  }
}

TEST(Connection, WideOutputGathersLargerWritesAndHandsBackItsTail) {
  // Output gathered in a wide transfer leaves in writes of its buffer's size. When it ends,
  // its last bytes (half the own buffer at most) wait there, to leave in one write with what
  // follows, and the rest leaves at once; nothing is lost or repeated on the way.
  constexpr std::size_t lent_size = 3 * connection_output_size / 2;
  const std::string before = "+OK\r\n";
  const std::string end = ".\r\n";
  for (const std::size_t gathered_size :
       {std::size_t{0}, std::size_t{100}, lent_size - before.size(), lent_size,
        lent_size + connection_output_size / 2, 2 * lent_size + connection_output_size}) {
    SCOPED_TRACE(gathered_size);
    socket_ends ends = socket_pair(SOCK_SEQPACKET);
    std::vector<std::string> records;
    std::thread reader([&] { records = records_until_closed(ends.far.fd); });
    const std::string gathered(gathered_size, 'g');
    {
      std::vector<char> lent(lent_size);
      connection c(ends.near.fd, ends.near.fd);
      ASSERT_TRUE(connection_put(c, before));
      {
        const connection_wide_output wide(c, lent);
        ASSERT_TRUE(connection_put(c, gathered));
        EXPECT_EQ(lent.data(), c.output.data());
      }
      EXPECT_FALSE(c.output_failed);
      EXPECT_EQ(c.own_output.data(), c.output.data());
      ASSERT_TRUE(connection_put(c, end));
      ASSERT_TRUE(connection_flush(c));
    }
    ends.near.reset();
    reader.join();
    // A full lent buffer is written when the next byte comes.
    const std::size_t total = before.size() + gathered.size();
    const std::size_t full_writes = (total - 1) / lent_size;
    const std::size_t rest = total - full_writes * lent_size;
    const std::size_t kept = std::min(rest, connection_output_size / 2);
    std::vector<std::size_t> expected_sizes(full_writes, lent_size);
    if (rest > kept) {
      expected_sizes.push_back(rest - kept);
    }
    expected_sizes.push_back(kept + end.size());
    std::vector<std::size_t> sizes;
    std::string all;
    for (const std::string& record : records) {
      sizes.push_back(record.size());
      all += record;
    }
    EXPECT_EQ(expected_sizes, sizes);
    EXPECT_TRUE(same_bytes(before + gathered + end, all));
  }
}

TEST(Connection, EndingAWideTransferRecordsAFailedWrite) {
  // /dev/full refuses every write: bytes beyond what waits in the own buffer must be written
  // when the wide transfer ends, and that failure is recorded then; bytes that wait fail only
  // when they are written.
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.fd, 0);
  for (const std::size_t size : {connection_output_size / 2, connection_output_size / 2 + 1}) {
    SCOPED_TRACE(size);
    std::vector<char> lent(2 * connection_output_size);
    connection c(-1, full.fd);
    {
      const connection_wide_output wide(c, lent);
      ASSERT_TRUE(connection_put(c, std::string(size, 'x')));
    }
    EXPECT_EQ(size != connection_output_size / 2, c.output_failed);
    EXPECT_EQ(c.own_output.data(), c.output.data());
    EXPECT_FALSE(connection_flush(c));
    EXPECT_TRUE(c.output_failed);
  }
}

TEST(Connection, WideTransferInTheTransferMemoryEndsBeforeTheMemoryGoes) {
  // A wide transfer gathers output in the transfer memory. Ended by its scope, then the memory
  // released; or the memory released while the transfer is open, which ends it first: either
  // way no byte is lost or repeated, and nothing touches memory that is gone.
  for (const bool released_while_open : {false, true}) {
    SCOPED_TRACE(released_while_open ? "released while open" : "ended by its scope");
    socket_ends ends = socket_pair(SOCK_STREAM);
    send_all(ends.far.fd, "NOOP\r\n");
    std::string received;
    std::thread reader([&] { received = read_to_end(ends.far.fd, std::chrono::seconds(20)); });
    const std::string body(3 * connection_output_size, 'b');
    {
      connection c(ends.near.fd, ends.near.fd);
      const std::span<char> memory = connection_transfer_memory(c);
      ASSERT_EQ(page_memory_huge_page, memory.size());
      {
        const connection_wide_output wide(c, memory.subspan(memory.size() / 2));
        ASSERT_TRUE(connection_put(c, "+OK\r\n" + body));
        if (released_while_open) {
          ASSERT_EQ(line_status::ready, read_line(c).status);
          EXPECT_TRUE(c.transfer_memory.empty());
          EXPECT_EQ(c.own_output.data(), c.output.data());
          ASSERT_TRUE(connection_put(c, "after\r\n"));
        }
      }
      ASSERT_TRUE(connection_put(c, ".\r\n"));
      if (!released_while_open) {
        ASSERT_EQ(line_status::ready, read_line(c).status);
        EXPECT_TRUE(c.transfer_memory.empty());
      }
      ASSERT_TRUE(connection_flush(c));
    }
    ::shutdown(ends.near.fd, SHUT_WR);
    reader.join();
    EXPECT_TRUE(same_bytes("+OK\r\n" + body + (released_while_open ? "after\r\n" : "") + ".\r\n",
                           received));
  }
}

// Whether any page of \a memory is still mapped in this process: msync fails with ENOMEM on a
// range that is not.
bool still_mapped(std::span<char> memory) {
  return ::msync(memory.data(), memory.size(), MS_ASYNC) == 0;
}

TEST(Connection, TransferMemoryIsGoneBeforeTheSessionWaits) {
  // The memory of a long transfer is kept while commands are answered without waiting (a batch of
  // pipelined RETRs shares it), and unmapped once the replies have left and the session is about
  // to wait for its client, or when the connection ends.
  socket_ends ends = socket_pair(SOCK_STREAM);
  send_all(ends.far.fd, "RETR 1\r\nRETR 2\r\n");
  std::span<char> memory;
  {
    connection c(ends.near.fd, ends.near.fd);
    ASSERT_EQ(line_status::ready, read_line(c).status);
    memory = connection_transfer_memory(c);
    ASSERT_EQ(page_memory_huge_page, memory.size());
    EXPECT_TRUE(still_mapped(memory));
    std::memset(memory.data(), 'm', memory.size());
    ASSERT_EQ(line_status::ready, read_line(c).status);
    EXPECT_EQ(memory.data(), connection_transfer_memory(c).data());
    send_all(ends.far.fd, "QUIT\r\n");
    ASSERT_EQ(line_status::ready, read_line(c).status);
    EXPECT_FALSE(still_mapped(memory));
    EXPECT_TRUE(c.transfer_memory.empty());
    memory = connection_transfer_memory(c);
    ASSERT_FALSE(memory.empty());
  }
  EXPECT_FALSE(still_mapped(memory));
}

TEST(Connection, WriteErrorIsReportedByTheCallThatMetIt) {
  // /dev/full refuses every write. Nothing fails while the output fits the buffer; the call that
  // has to write reports the failure, and every output call after it does too.
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.fd, 0);
  const std::string block(connection_output_size, 'b');
  const struct {
    const char* what;
    bool (*fill)(connection&, const std::string&);
  } cases[] = {
      {"put", [](connection& c, const std::string& bytes) { return connection_put(c, bytes); }},
      {"reserve",
       [](connection& c, const std::string& bytes) {
         (void)connection_put(c, bytes);
         return !connection_reserve(c, 1).empty();
       }},
      {"flush",
       [](connection& c, const std::string& bytes) {
         (void)connection_put(c, std::string_view(bytes).substr(1));
         return connection_flush(c);
       }},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.what);
    connection c(-1, full.fd);
    ASSERT_TRUE(connection_put(c, block));
    EXPECT_FALSE(c.output_failed);
    EXPECT_FALSE(each.fill(c, block));
    EXPECT_TRUE(c.output_failed);
    EXPECT_FALSE(connection_put(c, "+OK\r\n"));
    EXPECT_TRUE(connection_reserve(c, 1).empty());
    EXPECT_FALSE(connection_flush(c));
    EXPECT_EQ(line_status::output_error, read_line(c).status);
  }
}

TEST(Connection, WipeInputKeepsOnlyWhatIsStillToBeRead) {
  socket_ends ends = socket_pair(SOCK_STREAM);
  send_all(ends.far.fd, "USER alice\r\nPASS not4you\r\nSTAT\r\nQUI");
  connection c(ends.near.fd, ends.near.fd);
  ASSERT_EQ(line_status::ready, read_line(c).status);
  const command_line pass = read_line(c);
  ASSERT_EQ(line_status::ready, pass.status);
  EXPECT_STREQ("PASS not4you", pass.text);
  connection_wipe_input(c);
  const std::string_view memory(reinterpret_cast<const char*>(&c), sizeof c);
  EXPECT_EQ(std::string_view::npos, memory.find("not4you"));
  EXPECT_EQ(std::string_view::npos, memory.find("alice"));
  send_all(ends.far.fd, "T\r\n");
  const command_line stat = read_line(c);
  ASSERT_EQ(line_status::ready, stat.status);
  EXPECT_STREQ("STAT", stat.text);
  const command_line quit = read_line(c);
  ASSERT_EQ(line_status::ready, quit.status);
  EXPECT_STREQ("QUIT", quit.text);
}

TEST(Connection, WipesItsBuffersWhenItEnds) {
  socket_ends ends = socket_pair(SOCK_STREAM);
  send_all(ends.far.fd, "USER alice\r\nPASS not4you\r\n");
  alignas(connection) static char place[sizeof(connection)];
  auto* c = new (place) connection(ends.near.fd, ends.near.fd);
  ASSERT_EQ(line_status::ready, read_line(*c).status);
  ASSERT_EQ(line_status::ready, read_line(*c).status);
  ASSERT_TRUE(connection_put(*c, "+OK mail for alice\r\n"));
  ASSERT_TRUE(connection_flush(*c));
  ASSERT_TRUE(connection_put(*c, "never sent\r\n"));
  const std::string_view memory(place, sizeof place);
  ASSERT_NE(std::string_view::npos, memory.find("not4you")) << "not the connection's buffer";
  c->~connection();
  for (const std::string_view gone : {"not4you", "alice", "never sent"}) {
    EXPECT_EQ(std::string_view::npos, memory.find(gone)) << gone;
  }
}

}  // namespace
}  // namespace fernd
