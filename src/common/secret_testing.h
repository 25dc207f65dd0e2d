// For tests only: a view of what the secret wipes overwrite. Production code never sets it.
#ifndef FERND_COMMON_SECRET_TESTING_H_
#define FERND_COMMON_SECRET_TESTING_H_

#include <cstddef>

namespace fernd {

/// When set, secret_wipe calls it with each region right before overwriting it, so that a test can
/// see what the wipe keeps from being left behind.
extern void (*secret_wipe_observer)(const char* data, std::size_t size);

}  // namespace fernd

#endif  // FERND_COMMON_SECRET_TESTING_H_
