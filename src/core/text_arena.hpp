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
// itself is moved. Every text is followed by at least kReadPadding readable
// bytes, so that short texts can be read in whole 16-byte words.
class TextArena {
 public:
  static constexpr std::size_t kReadPadding = 15;

  std::string_view copy(std::string_view text) {
    if (text.size() > free_size_) add_block(text.size());
    char* const copied = free_;
    copy_bytes(copied, text.data(), text.size());
    free_ += text.size();
    free_size_ -= text.size();
    return {copied, text.size()};
  }

 private:
  // Most texts are a few bytes: those are copied in two overlapping moves
  // instead of through a call.
  static void copy_bytes(char* to, const char* from, std::size_t size) {
    if (size > 16) {
      std::memcpy(to, from, size);
    } else if (size >= 8) {
      std::memcpy(to, from, 8);
      std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
      std::memcpy(to, from, 4);
      std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size > 0) {
      to[0] = from[0];
      to[size / 2] = from[size / 2];
      to[size - 1] = from[size - 1];
    }
  }

  void add_block(std::size_t at_least);

  static constexpr std::size_t kLargestBlockSize = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t next_block_size_ = 2 * 1024;
  char* free_ = nullptr;
  std::size_t free_size_ = 0;
};

}  // namespace mirabex
