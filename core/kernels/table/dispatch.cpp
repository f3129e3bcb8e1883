// Chooses the kernel table once, from the processor's features.
#include "kernels/table/kernels.hpp"

namespace quorix {

extern const KernelTable kernel_table_portable;
#if defined(QUORIX_HAS_TARGET_x86_64_v3)
extern const KernelTable kernel_table_x86_64_v3;
#endif
#if defined(QUORIX_HAS_TARGET_x86_64_v4)
extern const KernelTable kernel_table_x86_64_v4;
#endif

namespace {

const KernelTable* widest_supported() {
#if defined(__x86_64__)
  __builtin_cpu_init();
#endif
#if defined(QUORIX_HAS_TARGET_x86_64_v4)
  if (__builtin_cpu_supports("x86-64-v4")) return &kernel_table_x86_64_v4;
#endif
#if defined(QUORIX_HAS_TARGET_x86_64_v3)
  if (__builtin_cpu_supports("x86-64-v3")) return &kernel_table_x86_64_v3;
#endif
  return &kernel_table_portable;
}

}  // namespace

const KernelTable& kernel_table() {
  // A function-local static is initialised exactly once, also when threads race to it.
  static const KernelTable* const table = widest_supported();
  return *table;
}

}  // namespace quorix
