// libFuzzer entry point for the transmission of one message file.
#include <cstddef>
#include <cstdint>

#include "targets/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fernd::fuzz_transmission(data, size);
}
