// RecordList: records, each a map from key text to value text, built one
// at a time and read as spans of pairs. JSON text, Python objects and the
// assembly all meet here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "core/large_allocator.hpp"
#include "core/position.hpp"
#include "core/text_arena.hpp"

namespace mirabex {

// The first eight bytes of a key as a number that orders like the text,
// shorter keys padded with zero bytes: keys whose numbers differ compare
// without being read again.
inline std::uint64_t key_order(std::string_view key) {
  std::uint64_t order = 0;
  const std::size_t bytes = key.size() < 8 ? key.size() : 8;
  for (std::size_t i = 0; i < bytes; ++i) {
    order |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * i);
  }
  return order;
}

// What a record list keeps of a key besides its text.
struct KeyFacts {
  PositionCode position = kNoPosition;
  std::uint64_t order = 0;  // key_order
};

struct TextPair {
  TextPair() = default;
  // From the words of its members, each stored as it is given.
  TextPair(const char* key_data, std::size_t key_size, const char* value_data,
           std::size_t value_size, PositionCode key_position, std::uint64_t key_order)
      : key(key_data, key_size),
        value(value_data, value_size),
        position(key_position),
        order(key_order) {}

  std::string_view key;
  std::string_view value;
  PositionCode position = kNoPosition;  // of the key, read once when it is added
  std::uint64_t order = 0;              // key_order of the key
};

// Byte order of the keys, mostly decided by their key_order.
inline bool key_before(const TextPair& a, const TextPair& b) {
  return a.order != b.order ? a.order < b.order : a.key < b.key;
}

// A list of records, each a map from key text to value text in ascending
// byte order of the keys. The texts live in the list's arena, but for keys
// known to outlive the list: every value is followed by the arena's read
// padding.
class RecordList {
 public:
  RecordList() = default;
  RecordList(RecordList&&) = default;
  RecordList& operator=(RecordList&&) = default;
  // A copy holds its own texts.
  RecordList(const RecordList& other);
  RecordList& operator=(const RecordList& other);

  // Room for this many records and pairs in all, when known beforehand.
  void reserve(std::size_t records, std::size_t pairs) {
    starts_.reserve(records);
    value_starts_.reserve(records);
    pairs_.reserve(pairs);
  }
  // Records are built one at a time: begin, add pairs, end.
  void begin_record();
  const TextPair& add(std::string_view key, std::string_view value,
                      LeadBytes value_lead = LeadBytes::kUnknown) {
    const std::string_view kept = arena_.copy(key);
    add_lasting_key(kept, value, {position_code(kept), padded_key_order(kept)}, value_lead);
    return pairs_.back();
  }
  // Adds a pair whose key text lives as long as this list, with its facts
  // known: position_code(key) and key_order(key). The key is not copied.
  [[gnu::always_inline]] void add_lasting_key(std::string_view key, std::string_view value,
                                              const KeyFacts& facts,
                                              LeadBytes value_lead = LeadBytes::kUnknown) {
    const std::string_view kept = arena_.copy(value, value_lead);
    // Word by word: a pair put together first and then copied whole was
    // read back in wider moves than it was written in, which stalls. Room
    // is made first, so that the words need not wait in memory for a
    // vector's growth.
    if (pairs_.size() == pairs_.capacity()) [[unlikely]] make_room_for_pairs();
    if (pairs_.size() == pairs_.capacity()) __builtin_unreachable();
    pairs_.emplace_back(key.data(), key.size(), kept.data(), kept.size(), facts.position,
                        facts.order);
    // Keys whose order numbers rise are in byte order and unique.
    rising_ &= facts.order > last_order_;
    last_order_ = facts.order;
    value_bytes_ += value.size();
  }
  // Sorts the open record by key bytes; where a key was added more than
  // once the pair added last is kept.
  void end_record();

  std::size_t size() const { return starts_.size(); }
  // The pairs added to the open record so far.
  std::size_t open_record_size() const { return pairs_.size() - starts_.back(); }
  std::size_t pair_count() const { return pairs_.size(); }
  // The bytes of the values of all pairs added, those of keys added twice
  // included.
  std::size_t value_bytes() const { return value_bytes_; }
  // Likewise of record i.
  std::size_t value_bytes(std::size_t i) const {
    const std::size_t end = i + 1 < value_starts_.size() ? value_starts_[i + 1] : value_bytes_;
    return end - value_starts_[i];
  }
  bool empty() const { return starts_.empty(); }
  // Whether every value is known to be ASCII, as is then every text
  // assembled from them: said by whoever filled the list.
  bool values_ascii() const { return values_ascii_; }
  void set_values_ascii(bool ascii) { values_ascii_ = ascii; }
  std::span<const TextPair> operator[](std::size_t i) const {
    const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : pairs_.size();
    return std::span(pairs_).subspan(starts_[i], end - starts_[i]);
  }

  // Iterates the records as spans of pairs.
  class iterator {
   public:
    using value_type = std::span<const TextPair>;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const RecordList* list, std::size_t index) : list_(list), index_(index) {}
    value_type operator*() const { return (*list_)[index_]; }
    iterator& operator++() {
      ++index_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++index_;
      return old;
    }
    bool operator==(const iterator& other) const { return index_ == other.index_; }

   private:
    const RecordList* list_ = nullptr;
    std::size_t index_ = 0;
  };
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, size()}; }

  // Same records holding the same texts.
  friend bool operator==(const RecordList& a, const RecordList& b);

 private:
  TextArena arena_;
  std::vector<TextPair, LargeAllocator<TextPair>> pairs_;
  std::vector<std::size_t> starts_;  // first pair of each record
  std::vector<std::size_t> value_starts_;  // value_bytes_ where each record began
  std::size_t value_bytes_ = 0;
  bool values_ascii_ = false;
  // Of the open record: whether its keys' order numbers rose so far, and
  // the last of them.
  bool rising_ = true;
  std::uint64_t last_order_ = 0;

  // Doubles the room for pairs.
  [[gnu::noinline]] void make_room_for_pairs() { pairs_.reserve(2 * pairs_.size() + 16); }

  // key_order of a key in the arena, read as one word with its padding.
  static std::uint64_t padded_key_order(std::string_view key) {
    static_assert(TextArena::kReadPadding >= 7);
    if (key.empty()) return 0;
    std::uint64_t bytes;
    std::memcpy(&bytes, key.data(), sizeof bytes);
    if constexpr (std::endian::native == std::endian::little) bytes = __builtin_bswap64(bytes);
    return key.size() >= 8 ? bytes : bytes & ~(~std::uint64_t{0} >> (8 * key.size()));
  }
};

}  // namespace mirabex
