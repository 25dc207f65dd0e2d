// Running one POP3 session against a scripted client over real pipes, for tests that compare
// every byte the session sends.
#ifndef FERND_TESTS_SUPPORT_TRANSCRIPT_H_
#define FERND_TESTS_SUPPORT_TRANSCRIPT_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/account.h"
#include "log/session_log.h"
#include "pop3/pop3_session.h"

namespace fernd {

/// How the client hands its bytes to the session.
enum class client_feed {
  all_at_once,  ///< as few writes as the pipe allows: every command pipelined
  byte_by_byte  ///< one write per byte
};

/// What the client does: it sends \a first. With \a pause_at set it then reads until it holds
/// that many bytes of output, runs \a on_pause, closes its end of the output pipe when
/// \a close_output is set (every later write of the session fails) and sends \a rest. It closes
/// its end of the input pipe after its last byte and reads what output is left until the session
/// closes the pipe.
struct transcript_client {
  std::string first;
  client_feed feed = client_feed::all_at_once;
  std::optional<std::size_t> pause_at;
  std::function<void()> on_pause;
  bool close_output = false;
  std::string rest;
};

/// What one session did.
struct transcript_result {
  std::string output;                               ///< every byte the client read
  session_result status = session_result::aborted;  ///< pop3_session's result
  account_list accounts;  ///< the session's copy of the accounts, as it left them
};

/// Runs pop3_session in the calling thread on a connection over two pipes, with a client thread
/// that plays \a client, on a copy of \a accounts, with \a options. Ignores SIGPIPE in the
/// process, so that writes to a closed pipe fail instead. Every wait is bounded: after 60 seconds
/// the client closes its ends and the session ends.
transcript_result transcript_run(const transcript_client& client, session_log* log,
                                 const account_list& accounts, bool auth_delay,
                                 pop3_options options = {});

/// Compares two byte strings; a mismatch reports the sizes and the first differing offset with a
/// little context, instead of printing megabytes.
testing::AssertionResult same_bytes(std::string_view expected, std::string_view actual);

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_TRANSCRIPT_H_
