// Handling secrets: passwords are compared in constant time and wiped from memory once they are no
// longer needed, so that neither the time of a refusal nor a core dump or a reused buffer gives
// them away.
#ifndef FERND_COMMON_SECRET_H_
#define FERND_COMMON_SECRET_H_

#include <cstddef>
#include <string_view>

namespace fernd {

/// Whether \a given equals \a expected byte for byte. When the lengths are equal, the time taken
/// does not depend on where, or whether, the two differ; different lengths decide at once.
[[nodiscard]] bool secret_equal(std::string_view expected, std::string_view given) noexcept;

/// Overwrites \a size bytes at \a data with zeros, in a way that the compiler cannot drop even when
/// the memory is released right afterwards.
void secret_wipe(void* data, std::size_t size) noexcept;

}  // namespace fernd

#endif  // FERND_COMMON_SECRET_H_
