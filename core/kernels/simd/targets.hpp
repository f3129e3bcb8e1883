// The targets of targets.def as records the code can read.
#pragma once

#include <string_view>

namespace quorix {

struct TargetRecord {
  std::string_view name;
  std::string_view feature;  // "" for the portable target
  int width;
  bool pairs;
};

inline constexpr TargetRecord kTargets[] = {
#define QUORIX_PORTABLE_TARGET(NAME, WIDTH, PAIRS) {#NAME, "", WIDTH, PAIRS},
#define QUORIX_X86_64_TARGET(NAME, FLAGS, FEATURE, WIDTH, PAIRS) {#NAME, FEATURE, WIDTH, PAIRS},
#include "kernels/simd/targets.def"
#undef QUORIX_PORTABLE_TARGET
#undef QUORIX_X86_64_TARGET
};

consteval const TargetRecord& target_record(std::string_view name) {
  for (const TargetRecord& record : kTargets) {
    if (record.name == name) return record;
  }
  throw "a target not declared in targets.def";
}

}  // namespace quorix
