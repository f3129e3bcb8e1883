#include "vector/frame.hpp"

namespace quorix::frame {

std::string mismatched_lengths(const std::size_t* counts, std::size_t arity) {
  std::string message = "input arrays have mismatched lengths: [";
  for (std::size_t i = 0; i < arity; ++i) {
    if (i > 0) message += ", ";
    message += std::to_string(counts[i]);
  }
  return message + "]";
}

}  // namespace quorix::frame
