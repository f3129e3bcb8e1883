// Memory for result arrays, from the interpreter's raw allocator (thread-safe without the
// interpreter, and visible to tracemalloc), keeping the last large block freed for the next call.
#pragma once

#include <cstddef>

namespace quorix {

struct Block {
  double* data = nullptr;
  std::size_t capacity = 0;  // doubles
};

// A block of at least `count` doubles (the kept one when it fits), advised for huge pages where
// large; data is nullptr when the allocator fails.
Block take_block(std::size_t count);

// Frees a block, or keeps it for the next call when it is large.
void release_block(Block block);

}  // namespace quorix
