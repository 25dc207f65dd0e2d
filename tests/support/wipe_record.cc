#include "support/wipe_record.h"

#include <algorithm>
#include <cstddef>

#include "common/secret_testing.h"

namespace fernd {
namespace {

wipe_record* live_record = nullptr;

void record_region(const char* data, std::size_t size) {
  live_record->regions.emplace_back(data, size);
}

}  // namespace

wipe_record::wipe_record() {
  live_record = this;
  secret_wipe_observer = record_region;
}

wipe_record::~wipe_record() {
  secret_wipe_observer = nullptr;
  live_record = nullptr;
}

bool wipe_record::any_held(std::string_view text) const {
  return std::any_of(regions.begin(), regions.end(), [text](const std::string& region) {
    return region.find(text) != std::string::npos;
  });
}

}  // namespace fernd
