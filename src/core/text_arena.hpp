// Owned texts that never move: the storage of a record list's keys and
// values.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace mirabex {

// Views into its texts stay valid as more are added, and when the arena
// itself is moved.
class TextArena {
 public:
  std::string_view copy(std::string_view text) {
    if (text.size() > free_size_) add_block(text.size());
    char* const copied = free_;
    if (!text.empty()) std::memcpy(copied, text.data(), text.size());
    free_ += text.size();
    free_size_ -= text.size();
    return {copied, text.size()};
  }

 private:
  void add_block(std::size_t at_least);

  static constexpr std::size_t kLargestBlockSize = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t next_block_size_ = 2 * 1024;
  char* free_ = nullptr;
  std::size_t free_size_ = 0;
};

}  // namespace mirabex
