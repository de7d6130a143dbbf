// Owned texts that never move: the storage of a record list's keys and
// values.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace mirabex {

// Whether the TextArena::kShortText bytes before a text's end may all be
// read, as those of a str's text may: the str's header comes first.
enum class LeadBytes : bool { kUnknown, kReadable };

// Views into its texts stay valid as more are added, and when the arena
// itself is moved. Every text is followed by at least kReadPadding readable
// bytes, so that short texts can be read in whole 16-byte words.
class TextArena {
 public:
  static constexpr std::size_t kReadPadding = 15;
  static constexpr std::size_t kShortText = 16;

  std::string_view copy(std::string_view text) {
    if (text.size() > free_size_) add_block(text.size());
    char* const copied = free_;
    copy_bytes(copied, text.data(), text.size());
    free_ += text.size();
    free_size_ -= text.size();
    return {copied, text.size()};
  }

  // A short text whose lead bytes are readable is copied without a branch
  // on its size: values of every length alternate, in no pattern that a
  // branch predictor learns.
  std::string_view copy(std::string_view text, LeadBytes lead) {
    return lead == LeadBytes::kReadable ? copy_with_readable_lead(text) : copy(text);
  }

 private:
  // Short texts fill the free room from its end down, each as the
  // kShortText bytes that end where it ends: the bytes before it fall in
  // the room still free, and those after it are texts copied before or the
  // block's padding.
  std::string_view copy_with_readable_lead(std::string_view text) {
    if (text.size() > kShortText) return copy(text);
    if (free_size_ < kShortText) add_block(kShortText);
    char* const end = free_ + free_size_;
    std::memcpy(end - kShortText, text.data() + text.size() - kShortText, kShortText);
    free_size_ -= text.size();
    return {end - text.size(), text.size()};
  }

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
