#include "python/result_blocks.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <utility>

namespace quorix {

namespace {

// The most recently freed block of kKeptMinimum bytes or more is kept for the next call of about
// its size: the C library maps blocks that large afresh for each allocation and unmaps them when
// freed, so that every large call would page-fault its whole result in again (40 MB for the
// Greeks of a million options). At most one block is kept.
constexpr std::size_t kKeptMinimum = std::size_t{32} << 20;  // the most glibc serves from its heap
constexpr std::size_t kKeptMaximum = std::size_t{1} << 30;
std::mutex kept_mutex;
Block kept;

bool keepable(std::size_t capacity) {
  return capacity >= kKeptMinimum / sizeof(double) && capacity <= kKeptMaximum / sizeof(double);
}

// From this size on a buffer is advised for transparent huge pages: writing fresh memory is
// otherwise dominated by one page fault (and one page clearing) every 4 KiB.
constexpr std::size_t kHugePageAdviceBytes = std::size_t{4} << 20;

void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes < kHugePageAdviceBytes) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (address + page - 1) / page * page;
  const std::uintptr_t end = (address + bytes) / page * page;
  // Only advice: where the kernel declines, the buffer works as before.
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

// The kept block if it holds count doubles and at most a quarter more; else a new one.
Block take_block(std::size_t count) {
  if (keepable(count)) {
    std::lock_guard lock(kept_mutex);
    if (kept.capacity >= count && kept.capacity - count <= count / 4) {
      return std::exchange(kept, Block{});
    }
  }
  Block block{static_cast<double*>(PyMem_RawMalloc(count * sizeof(double))), count};
  if (block.data != nullptr) advise_huge_pages(block.data, count * sizeof(double));
  return block;
}

void release_block(Block block) {
  if (block.data == nullptr) return;
  if (keepable(block.capacity)) {
    std::lock_guard lock(kept_mutex);
    std::swap(block, kept);
  }
  PyMem_RawFree(block.data);
}

}  // namespace quorix
