// Constant-time comparison of secrets and wipes that the compiler cannot drop.
#include "common/secret.h"

#include <cstring>

namespace fernd {

bool secret_equal(std::string_view expected, std::string_view given) noexcept {
  if (expected.size() != given.size()) {
    return false;
  }
  unsigned difference = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    difference |= static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(given[i]);
    // The compiler may not know the value here, so it cannot stop at the first difference.
    __asm__ volatile("" : "+r"(difference));
  }
  return difference == 0;
}

void secret_wipe(void* data, std::size_t size) noexcept {
  ::explicit_bzero(data, size);
}

}  // namespace fernd
