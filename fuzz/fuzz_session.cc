// libFuzzer entry point for a POP3 session fed with arbitrary client bytes.
#include <cstddef>
#include <cstdint>

#include "targets/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fernd::fuzz_session(data, size);
}
