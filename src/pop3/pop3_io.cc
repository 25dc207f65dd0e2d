#include "pop3/pop3_io.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/secret.h"
#include "pop3/output_block.h"

namespace fernd {
namespace {

// How much of a message file is read at a time. Large reads keep the system calls per message
// few; the buffer is fixed, so memory does not grow with the size of the message.
constexpr std::size_t mail_read_size = 64 * 1024;

// The capability reply: both phases answer CAPA with exactly these bytes.
constexpr char capa_reply[] = "+OK\r\nUSER\r\nUIDL\r\n.\r\n";

// Where the transmission stands in the byte stream of the file; carried across read blocks and
// output blocks alike, so that neither boundary changes a single byte of the result.
struct transfer_state {
  bool line_start = true;  // the next byte begins a line: start of the file, or right after LF
  bool after_cr = false;   // the last byte of the file seen so far was CR
};

// Sends one block of file bytes: every LF that no CR precedes gets one, every line that begins
// with '.' gets one more; all other bytes, NUL and lone CR included, pass unchanged.
void transfer_block(transfer_state* state, const char* data, std::size_t size,
                    output_block* block) {
  std::size_t pos = 0;
  while (pos < size) {
    if (state->line_start && data[pos] == '.') {
      output_block_put_char(block, '.');
    }
    const void* found = std::memchr(data + pos, '\n', size - pos);
    const std::size_t end =
        found == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(found) - data);
    if (end > pos) {
      output_block_put(block, data + pos, end - pos);
      state->after_cr = data[end - 1] == '\r';
      state->line_start = false;
    }
    if (found == nullptr) {
      return;
    }
    if (!state->after_cr) {
      output_block_put_char(block, '\r');
    }
    output_block_put_char(block, '\n');
    state->line_start = true;
    state->after_cr = false;
    pos = end + 1;
  }
}

}  // namespace

int read_line(std::FILE* input, char* buffer, std::size_t size) {
  const int limit = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  if (std::fgets(buffer, limit, input) == nullptr) {
    return 1;
  }
  // A NUL byte cuts the text short of its LF, so a line holding one is refused as well.
  std::size_t length = std::strlen(buffer);
  if (length == 0 || buffer[length - 1] != '\n') {
    return 1;
  }
  buffer[--length] = '\0';
  if (length > 0 && buffer[length - 1] == '\r') {
    buffer[length - 1] = '\0';
  }
  return 0;
}

void wipe_consumed_input(std::FILE* input) {
  // glibc keeps the last read in [_IO_buf_base, _IO_buf_end): handed out up to _IO_read_ptr, to
  // be read up to _IO_read_end, and stale beyond that. Only the bytes to be read are kept.
  char* const base = input->_IO_buf_base;
  char* const end = input->_IO_buf_end;
  char* const read_from = input->_IO_read_ptr;
  char* const read_end = input->_IO_read_end;
  if (base == nullptr || read_from < base || read_from > read_end || read_end > end) {
    return;  // no buffer yet, or not in reading mode
  }
  secret_wipe(base, static_cast<std::size_t>(read_from - base));
  secret_wipe(read_end, static_cast<std::size_t>(end - read_end));
}

int parse_msgnum(const char* text, std::uint64_t* number) {
  // strtoull would accept leading blanks and a sign, and read "-1" as the largest number.
  if (text[0] < '0' || text[0] > '9') {
    return 1;
  }
  char* end = nullptr;
  errno = 0;  // strtoull reports overflow only through errno, and never clears it
  const unsigned long long value = std::strtoull(text, &end, 10);
  *number = value;
  if (errno == ERANGE || *end != '\0' || value == 0) {
    return 1;
  }
  return 0;
}

int send_mail_file(std::FILE* message, std::FILE* output) {
  output_block block(output);
  std::array<char, mail_read_size> data;  // NOLINT: filled by fread before it is read
  transfer_state state;
  for (;;) {
    const std::size_t size = std::fread(data.data(), 1, data.size(), message);
    if (size == 0) {
      break;
    }
    transfer_block(&state, data.data(), size, &block);
    if (block.failed != 0) {
      return 1;
    }
  }
  if (std::ferror(message) != 0) {
    return 1;
  }
  // The terminating ".\r\n" must begin a line of its own.
  if (!state.line_start) {
    output_block_put(&block, "\r\n", 2);
  }
  if (output_block_finish(&block) != 0) {
    return 1;
  }
  return std::ferror(output) != 0 ? 1 : 0;
}

char* sanitize(char* text) {
  // The POSIX locale's control characters, spelled out so that no locale can widen the set.
  constexpr unsigned char delete_char = 127;
  for (char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < ' ' || byte == delete_char) {
      *p = '?';
    }
  }
  return text;
}

void send_capa(std::FILE* output) {
  (void)std::fwrite(capa_reply, 1, sizeof capa_reply - 1, output);
}

}  // namespace fernd
