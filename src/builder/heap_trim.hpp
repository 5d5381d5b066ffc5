// Gives freed heap pages back to the system after a large build. The
// builder's tables grow by doubling and its lookup indices are dropped at
// build, which leaves tens of megabytes free inside the heap for a graph
// of a million nodes; the C library keeps such memory resident unless it
// is asked to return it. Only glibc is asked; elsewhere this does nothing.
#pragma once

#include <cstddef>

namespace pelmo {

// Trims once `nodes` is large enough for the leftovers to matter; the
// trim costs a few milliseconds for a million nodes.
void trim_heap_after_build(std::size_t nodes) noexcept;

}  // namespace pelmo
