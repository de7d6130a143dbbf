#include "core/text_arena.hpp"

#include <algorithm>
#include <cstring>

namespace mirabex {

void TextArena::add_block(std::size_t at_least) {
  // Blocks double from small to large: a short message holds little.
  const std::size_t size = std::max(next_block_size_, at_least);
  next_block_size_ = std::min(next_block_size_ * 2, kLargestBlockSize);
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size + kReadPadding));
  free_ = blocks_.back().get();
  std::memset(free_ + size, 0, kReadPadding);
  free_size_ = size;
}

}  // namespace mirabex
