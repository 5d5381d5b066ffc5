// Stack memory for the worker threads of one parallel run. The threads are
// started afresh for every chunk; only the memory under them is kept from
// chunk to chunk and level to level, and unmapped when the run ends. The C
// library caches just a few stacks of the default size, so without this every
// worker of a wide level mapped and unmapped its own, which costs about as
// much as starting the thread.
#pragma once

#include <cstddef>
#include <vector>

namespace pelmo {

// Usable stack memory: `base` is its lowest address, below which lies an
// inaccessible guard page.
struct StackSpan {
  void* base = nullptr;
  std::size_t size = 0;
};

class WorkerStacks {
 public:
  // Stacks of the platform's default thread stack size, never less than
  // 2 MiB: Python code near the recursion limit needs the room.
  WorkerStacks();
  WorkerStacks(const WorkerStacks&) = delete;
  WorkerStacks& operator=(const WorkerStacks&) = delete;
  ~WorkerStacks();

  // The stack for the `slot`-th worker of a chunk, mapped on first use. A
  // slot is free again once the thread that ran on it has been joined.
  // Throws std::system_error when the memory cannot be mapped.
  StackSpan at(std::size_t slot);

 private:
  // Each one guard page plus stack_size_ bytes.
  std::vector<void*> mappings_;
  std::size_t stack_size_;
  std::size_t guard_size_;
};

}  // namespace pelmo
