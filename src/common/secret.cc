#include "common/secret.h"

#include <cstring>

#include "common/secret_testing.h"

namespace fernd {

void (*secret_wipe_observer)(const char* data, std::size_t size) = nullptr;

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
  if (secret_wipe_observer != nullptr) {
    secret_wipe_observer(static_cast<const char*>(data), size);
  }
  ::explicit_bzero(data, size);
}

}  // namespace fernd
