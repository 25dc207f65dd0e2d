// Checked allocation for start-up and the credentials: where memory runs out there, nothing
// sensible is left to do, so the process ends with the system's text for ENOMEM and status 3.
// The session engine does not use these: inside a session, memory exhaustion is an ordinary
// failure of the operation that met it.
#ifndef FERND_COMMON_MUST_ALLOC_H_
#define FERND_COMMON_MUST_ALLOC_H_

#include <cstddef>
#include <string>

#include "common/exit_status.h"

namespace fernd {

/// Writes strerror(ENOMEM) and a newline to standard error and exits with status 3.
[[noreturn]] void must_die_nomem() noexcept;

/// A copy of \a text; ends the process when memory is exhausted.
std::string must_strdup(const char* text);

/// A copy of at most \a length bytes of \a text, up to its NUL; ends the process when memory is
/// exhausted.
std::string must_strndup(const char* text, std::size_t length);

/// Resizes \a text to \a size bytes, as a growing buffer would be reallocated; new bytes are NUL.
/// Ends the process when memory is exhausted or \a size is beyond what a string can hold.
void must_resize(std::string* text, std::size_t size);

/// printf-style formatting into a new string; ends the process when memory is exhausted.
[[gnu::format(printf, 1, 2)]] std::string must_asprintf(const char* format, ...);

}  // namespace fernd

#endif  // FERND_COMMON_MUST_ALLOC_H_
