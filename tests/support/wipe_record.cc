#include "support/wipe_record.h"

#include <algorithm>
#include <cstddef>

namespace fernd {
namespace {

wipe_record* live_record = nullptr;

}  // namespace

wipe_record::wipe_record() {
  live_record = this;
}

wipe_record::~wipe_record() {
  live_record = nullptr;
}

bool wipe_record::any_held(std::string_view text) const {
  return std::any_of(regions.begin(), regions.end(), [text](const std::string& region) {
    return region.find(text) != std::string::npos;
  });
}

}  // namespace fernd

// The test binary is linked with --wrap=explicit_bzero: every wipe of fernd's code comes here
// first, and is recorded while a wipe_record lives.
extern "C" void __real_explicit_bzero(void* data, std::size_t size);  // NOLINT: linker name

extern "C" void __wrap_explicit_bzero(void* data, std::size_t size) {  // NOLINT: linker name
  if (fernd::live_record != nullptr) {
    fernd::live_record->regions.emplace_back(static_cast<const char*>(data), size);
  }
  __real_explicit_bzero(data, size);
}
