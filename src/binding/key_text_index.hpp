// The facts of key texts met before, found by the hash the interpreter
// keeps in every str that has served as a dict key. Plain C++, so it is
// tested with real threads without an interpreter.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/record_list.hpp"

namespace mirabex {

// Records from json.loads, orjson or any maker but Hl7Json (whose keys
// KnownKeyIndex finds by address) repeat a few hundred key texts, though
// each document makes objects of its own: a key found here is neither
// copied into a record list nor read for its position again. Each key's
// text is kept in its entry, which lives as long as the index, so that
// record lists may point at it. Entries are found by open addressing, each
// in one cache line, and published whole: a word of the hash is stored
// last. It takes the first kCapacity keys added; keys added after those
// are simply not found. Entries are only ever added.
class KeyTextIndex {
 public:
  static constexpr std::size_t kLongestKey = 16;
  static constexpr int kSizeBits = 13;
  static constexpr std::size_t kSize = std::size_t{1} << kSizeBits;
  // Half the entries, so that probes stay short and an empty entry always
  // ends them.
  static constexpr std::size_t kCapacity = kSize / 2;

  // The 16 bytes that end a text, those before it zeroed, and its size:
  // equal for equal texts only, for texts of at most kLongestKey bytes.
  struct KeyBytes {
    std::uint64_t low;
    std::uint64_t high;
    std::size_t size;
  };

  // A key's text and what a record list keeps of it.
  class alignas(64) Entry {
   public:
    std::string_view text() const { return {text_, bytes_.size}; }
    KeyFacts facts() const { return {position_, order_}; }

   private:
    friend class KeyTextIndex;
    // No member initialisers: the index is zero-initialised, taking no room
    // in the module's file.
    std::atomic<std::uint64_t> tag_;  // 0: empty; kBeingWritten; else tag_of(hash)
    KeyBytes bytes_;
    char text_[kLongestKey];
    PositionCode position_;
    std::uint64_t order_;
  };
  static_assert(sizeof(Entry) == 64);

  // The entry of the text whose str hash is `hash`; null when there is
  // none. The text lies in an object that holds at least kLongestKey bytes
  // before it (a str's header): it is read in two words that end with it,
  // whatever its size. Most keys are of at most 8 bytes, whose low word is
  // zero: it is read only for longer keys.
  const Entry* find(std::uint64_t hash, std::string_view text) const {
    const std::size_t n = text.size();
    if (n > kLongestKey) return nullptr;
    const std::uint64_t high = high_word(text);
    const std::uint64_t tag = tag_of(hash);
    for (std::size_t i = slot_of(hash);; i = (i + 1) % kSize) {
      const Entry& entry = entries_[i];
      const std::uint64_t found = entry.tag_.load(std::memory_order_acquire);
      if (found == 0) return nullptr;
      if (found == tag && entry.bytes_.high == high && entry.bytes_.size == n &&
          (n <= 8 || entry.bytes_.low == low_word(text))) {
        return &entry;
      }
    }
  }

  void prefetch(std::uint64_t hash) const { __builtin_prefetch(&entries_[slot_of(hash)]); }

  // Adds a text not found before, with its facts.
  void add(std::uint64_t hash, std::string_view text, const KeyFacts& facts) {
    if (text.size() > kLongestKey || count_.load(std::memory_order_relaxed) >= kCapacity) return;
    if (count_.fetch_add(1, std::memory_order_relaxed) >= kCapacity) return;
    for (std::size_t i = slot_of(hash);; i = (i + 1) % kSize) {
      Entry& entry = entries_[i];
      std::uint64_t empty = 0;
      if (!entry.tag_.compare_exchange_strong(empty, kBeingWritten, std::memory_order_acquire)) {
        continue;
      }
      entry.bytes_ = bytes_of(text);
      std::memcpy(entry.text_, text.data(), text.size());
      entry.position_ = facts.position;
      entry.order_ = facts.order;
      entry.tag_.store(tag_of(hash), std::memory_order_release);
      return;
    }
  }

 private:
  // Tags are odd, so that neither 0 nor kBeingWritten is one.
  static constexpr std::uint64_t kBeingWritten = 2;
  static std::uint64_t tag_of(std::uint64_t hash) { return hash << 1 | 1; }

  static std::size_t slot_of(std::uint64_t hash) {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15u) >> (64 - kSizeBits));
  }

  static std::uint64_t load(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }

  // Of a little-endian word that ends with the text, the bytes of the text,
  // by the number of its bytes in the word.
  static constexpr std::array<std::uint64_t, 9> kTextBytes = [] {
    std::array<std::uint64_t, 9> masks{};
    for (std::size_t n = 1; n <= 8; ++n) masks[n] = ~std::uint64_t{0} << (8 * (8 - n));
    return masks;
  }();

  // The words of KeyBytes, of a text read in place.
  static std::uint64_t high_word(std::string_view key) {
    static_assert(std::endian::native == std::endian::little);
    const std::size_t n = key.size();
    return load(key.data() + n - 8) & kTextBytes[n < 8 ? n : 8];
  }
  static std::uint64_t low_word(std::string_view key) {
    const std::size_t n = key.size();
    return load(key.data() + n - 16) & kTextBytes[n > 8 ? n - 8 : 0];
  }

  static KeyBytes bytes_in_place(std::string_view key) {
    return {low_word(key), high_word(key), key.size()};
  }

  static KeyBytes bytes_of(std::string_view key) {
    char room[2 * kLongestKey] = {};
    std::memcpy(room + kLongestKey, key.data(), key.size());
    return bytes_in_place({room + kLongestKey, key.size()});
  }

  std::atomic<std::size_t> count_{0};
  Entry entries_[kSize];
};

}  // namespace mirabex
