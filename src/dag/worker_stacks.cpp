#include "dag/worker_stacks.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pelmo {
namespace {

constexpr std::size_t kMinimumStackSize = std::size_t{2} << 20;

std::size_t default_thread_stack_size() {
  pthread_attr_t attributes;
  std::size_t size = 0;
  if (pthread_attr_init(&attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return size;
}

// MAP_STACK and MADV_NOHUGEPAGE are Linux's; a system without them, or a
// PELMO_PORTABLE_THREADS build, maps plain anonymous memory.
constexpr int stack_mapping_flags() {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(MAP_STACK) && !defined(PELMO_PORTABLE_THREADS)
  flags |= MAP_STACK;
#endif
  return flags;
}

// A huge page would make every barely used stack cost 2 MiB of memory.
void avoid_huge_pages([[maybe_unused]] void* address, [[maybe_unused]] std::size_t length) {
#if defined(MADV_NOHUGEPAGE) && !defined(PELMO_PORTABLE_THREADS)
  madvise(address, length, MADV_NOHUGEPAGE);
#endif
}

std::size_t round_up(std::size_t value, std::size_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

}  // namespace

WorkerStacks::WorkerStacks() : guard_size_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
  stack_size_ = round_up(std::max(default_thread_stack_size(), kMinimumStackSize), guard_size_);
}

WorkerStacks::~WorkerStacks() {
  for (void* address : mappings_) munmap(address, guard_size_ + stack_size_);
}

StackSpan WorkerStacks::at(std::size_t slot) {
  // Room first, so that a mapping once made is always recorded for unmapping.
  if (mappings_.capacity() <= slot) mappings_.reserve(std::max(slot + 1, 2 * mappings_.capacity()));
  const std::size_t length = guard_size_ + stack_size_;
  while (mappings_.size() <= slot) {
    void* address = mmap(nullptr, length, PROT_READ | PROT_WRITE, stack_mapping_flags(), -1, 0);
    if (address == MAP_FAILED) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot start a worker thread: cannot allocate its stack");
    }
    // Stacks grow down: an overflow runs into the guard page and faults
    // instead of writing over the neighbouring mapping.
    if (mprotect(address, guard_size_, PROT_NONE) != 0) {
      const int error = errno;
      munmap(address, length);
      throw std::system_error(error, std::generic_category(),
                              "cannot start a worker thread: cannot set up its stack guard");
    }
    avoid_huge_pages(address, length);
    mappings_.push_back(address);
  }
  return StackSpan{static_cast<char*>(mappings_[slot]) + guard_size_, stack_size_};
}

}  // namespace pelmo
