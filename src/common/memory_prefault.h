// Asking the kernel for fresh memory before it is written. On some machines (virtual ones above
// all) the first write to each page costs a page fault of several microseconds, and a big mailbox
// writes thousands of fresh pages at login; one request for all of them costs a fraction of that.
#ifndef FERND_COMMON_MEMORY_PREFAULT_H_
#define FERND_COMMON_MEMORY_PREFAULT_H_

#include <cstddef>

namespace fernd {

/// Makes the whole pages within [data, data + size) present and writable at once. Best effort: a
/// kernel without the request leaves the pages to be faulted in as they are written. Pages only
/// partly inside the range are left alone, so that nothing outside it is touched.
void memory_prefault(void* data, std::size_t size);

}  // namespace fernd

#endif  // FERND_COMMON_MEMORY_PREFAULT_H_
