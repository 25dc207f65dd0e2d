// Start-up messages to standard error or to syslog.
#include "common/diagnostic.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace fernd {
namespace {

// Set once, at start-up, before any message; the process has one thread.
bool to_syslog = false;

}  // namespace

void diagnostic_to_syslog() {
  if (!to_syslog) {
    ::openlog("fernd", LOG_PID, LOG_MAIL);
    to_syslog = true;
  }
}

bool diagnostic_in_syslog() {
  return to_syslog;
}

void diagnostic_print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  if (to_syslog) {
    ::vsyslog(LOG_ERR, format, args);
  } else {
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
  }
  va_end(args);
}

}  // namespace fernd
