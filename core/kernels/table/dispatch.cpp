// Chooses the kernel table once, from the processor's features, among the targets of
// targets.def that this build compiled.
#include <array>
#include <iterator>

#include "kernels/simd/targets.hpp"
#include "kernels/table/kernels.hpp"

namespace quorix {

// Weak: the table of a target this build leaves out (another architecture's, or a build for
// one processor) is null.
#define QUORIX_PORTABLE_TARGET(NAME, ...) \
  extern const KernelTable kernel_table_##NAME __attribute__((weak));
#define QUORIX_X86_64_TARGET(NAME, ...) \
  extern const KernelTable kernel_table_##NAME __attribute__((weak));
#include "kernels/simd/targets.def"
#undef QUORIX_PORTABLE_TARGET
#undef QUORIX_X86_64_TARGET

namespace {

struct Candidate {
  const KernelTable* table;
  bool runs;
};

using Candidates = std::array<Candidate, std::size(kTargets)>;

// Each target's table and whether this processor runs it, narrowest first.
Candidates candidates() {
#if defined(__x86_64__)
  __builtin_cpu_init();
#define QUORIX_X86_64_TARGET(NAME, FLAGS, FEATURE, ...) \
  {&kernel_table_##NAME, __builtin_cpu_supports(FEATURE) != 0},
#else
#define QUORIX_X86_64_TARGET(NAME, ...) {&kernel_table_##NAME, false},
#endif
#define QUORIX_PORTABLE_TARGET(NAME, ...) {&kernel_table_##NAME, true},
  return {{
#include "kernels/simd/targets.def"
  }};
#undef QUORIX_PORTABLE_TARGET
#undef QUORIX_X86_64_TARGET
}

struct Choice {
  Candidates candidates;
  std::size_t chosen;  // the widest compiled target that runs
};

const Choice& choice() {
  // A function-local static is initialised exactly once, also when threads race to it.
  static const Choice made = [] {
    Choice c{candidates(), 0};
    for (std::size_t i = 0; i < c.candidates.size(); ++i) {
      if (c.candidates[i].table != nullptr && c.candidates[i].runs) c.chosen = i;
    }
    return c;
  }();
  return made;
}

}  // namespace

const KernelTable& kernel_table() {
  const Choice& c = choice();
  return *c.candidates[c.chosen].table;
}

TargetStatus target_status(std::size_t index) {
  const Choice& c = choice();
  const Candidate& candidate = c.candidates[index];
  return {kTargets[index].name, candidate.table != nullptr, candidate.runs, index == c.chosen};
}

}  // namespace quorix
