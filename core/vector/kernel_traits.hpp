// What an element kernel takes and returns, read off its function type.
#pragma once

#include <cstddef>
#include <tuple>

namespace quorix {

template <class Kernel>
struct KernelTraits;

template <class R, class... Args>
struct KernelTraits<R (*)(Args...)> {
  using Result = R;
  using Arguments = std::tuple<Args...>;
  static constexpr std::size_t kArity = sizeof...(Args);
  template <std::size_t I>
  using Argument = std::tuple_element_t<I, Arguments>;
};

}  // namespace quorix
