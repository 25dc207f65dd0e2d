// Checked allocation for start-up and the credentials: memory exhaustion writes the system's text
// for ENOMEM and ends the process with status 3.
#include "common/must_alloc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "common/diagnostic.h"

namespace fernd {

void must_die_nomem() noexcept {
  // No allocation on this path: strerror's text for a known errno is static.
  diagnostic_print("%s", std::strerror(ENOMEM));
  std::exit(exit_status_fatal);
}

std::string must_strdup(const char* text) {
  try {
    return std::string(text);
  } catch (const std::bad_alloc&) {
    must_die_nomem();
  }
}

std::string must_strndup(const char* text, std::size_t length) {
  try {
    return std::string(text, ::strnlen(text, length));
  } catch (const std::bad_alloc&) {
    must_die_nomem();
  }
}

void must_resize(std::string* text, std::size_t size) {
  try {
    text->resize(size);
  } catch (const std::bad_alloc&) {
    must_die_nomem();
  } catch (const std::length_error&) {
    // A size no string can hold is memory that cannot be had, as realloc would report it.
    must_die_nomem();
  }
}

std::string must_asprintf(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length < 0) {
    // Only an impossible conversion fails here; callers pass fixed formats.
    va_end(again);
    must_die_nomem();
  }
  std::string text;
  try {
    text.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    va_end(again);
    must_die_nomem();
  }
  // vsnprintf writes the terminating NUL into the byte that std::string keeps after its end.
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace fernd
