// Owned texts that never move: the storage of a record list's keys and
// values.
#pragma once

#include <bit>
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
  std::string_view copy_with_readable_lead(std::string_view text) {
    if (text.size() > kShortText) return copy(text);
    if (free_size_ < kShortText) add_block(kShortText);
    char* const copied = free_;
    copy_short_from_end(copied, text.data() + text.size(), text.size());
    free_ += text.size();
    free_size_ -= text.size();
    return {copied, text.size()};
  }

  // Reads the kShortText bytes that end where the text ends, and writes
  // them from where the copy starts, shifted down past the bytes before the
  // text: the bytes written after the copy are the padding's.
  static void copy_short_from_end(char* to, const char* end, std::size_t size) {
    static_assert(std::endian::native == std::endian::little);
    __extension__ typedef unsigned __int128 Word;
    Word bytes;
    std::memcpy(&bytes, end - kShortText, kShortText);
    // An empty text, whose shift would be all 128 bits, is written
    // unshifted: all 16 bytes fall past it.
    bytes >>= (8 * (kShortText - size)) & 127;
    std::memcpy(to, &bytes, kShortText);
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
