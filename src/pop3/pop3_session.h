// One POP3 dialogue, from the greeting to the update phase.
#ifndef FERND_POP3_POP3_SESSION_H_
#define FERND_POP3_POP3_SESSION_H_

#include <cstdint>
#include <cstdio>

#include "common/account.h"
#include "log/session_log.h"

namespace fernd {

/// Session status: the client quit (after a login, the update phase ran).
constexpr int session_status_ok = 0;
/// Session status: aborted by an input or output error or a failed transmission.
constexpr int session_status_error = 1;
/// Session status: at least one password check failed; wins over the other two.
constexpr int session_status_auth_failed = 2;

/// Conducts one POP3 session with the client that writes to \a input and reads \a output, against
/// the first \a account_count accounts of \a accounts. With \a auth_delay non-zero every password
/// check waits one second first. Logs its course to \a log. Neither opens nor closes the streams.
/// Returns the session status.
int pop3_session(session_log* log, std::FILE* input, std::FILE* output, const account* accounts,
                 std::uint64_t account_count, int auth_delay);

}  // namespace fernd

#endif  // FERND_POP3_POP3_SESSION_H_
