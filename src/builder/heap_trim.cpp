#include "builder/heap_trim.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace pelmo {

void trim_heap_after_build(std::size_t nodes) noexcept {
  // Below this the leftovers are at most a few megabytes.
  constexpr std::size_t kWorthTrimming = 100'000;
  if (nodes < kWorthTrimming) return;
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace pelmo
