// JsonHl7: a list of records (key text to value text) and the assembly of
// HL7 v2 message text from it. Records come from Python objects (the
// binding) or from a JSON file, read here.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/segments.hpp"

namespace mirabex {

// Where a key places its value: field from 1, repetition from 0, component
// from 1 (0: the value fills the whole repetition).
struct Placement {
  std::uint64_t field = 0;
  std::uint64_t repetition = 0;
  std::uint64_t component = 0;
  bool operator==(const Placement&) const = default;
};

// The position a key names, or nothing for keys that name none: "3", "+3",
// "3[1]", "3[1].2", "5.2". Numbers may have leading zeros and one leading
// '+', and must fit in 64 bits.
std::optional<Placement> parse_position_key(std::string_view key);

// Field, repetition and component numbers above this are refused: one key
// would otherwise ask for that many empty parts.
inline constexpr std::uint64_t kMaxPosition = 100000;

// Assembled texts longer than this are refused before any is written: a
// record of a few keys may otherwise ask for gigabytes of separators.
inline constexpr std::uint64_t kMaxAssembledSize = std::uint64_t{1} << 30;

// A key's position packed into one number that orders like the position
// (field, then repetition, then component), read once when the key is
// added. Keys naming no position, and positions beyond the limit (read
// again for the error), get marks above every packed position.
using PositionCode = std::uint64_t;
inline constexpr int kPositionPartBits = 21;  // for each of the three numbers
inline constexpr PositionCode kPositionPartMask = (PositionCode{1} << kPositionPartBits) - 1;
static_assert(kMaxPosition <= kPositionPartMask);
inline constexpr PositionCode kNoPosition = UINT64_MAX;
inline constexpr PositionCode kBeyondLimit = UINT64_MAX - 1;

inline PositionCode pack_position(std::uint64_t field, std::uint64_t repetition,
                                  std::uint64_t component) {
  if (field > kMaxPosition || repetition > kMaxPosition || component > kMaxPosition) {
    return kBeyondLimit;
  }
  return field << (2 * kPositionPartBits) | repetition << kPositionPartBits | component;
}

PositionCode position_code(std::string_view key);

// The same for the key Hl7Json writes for a position.
inline PositionCode position_code(const PositionKey& key) {
  return pack_position(key.field, key.repetition == PositionKey::kNone ? 0 : key.repetition,
                       key.component);
}

inline Placement placement_of(PositionCode code) {
  return {code >> (2 * kPositionPartBits), (code >> kPositionPartBits) & kPositionPartMask,
          code & kPositionPartMask};
}

struct TextPair {
  std::string_view key;
  std::string_view value;
  PositionCode position = kNoPosition;
};

// Owned texts that never move: views into them stay valid as more are
// added, and when the arena itself is moved.
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

// A list of records, each a map from key text to value text in ascending
// byte order of the keys. The texts live in the list's arena, but for keys
// known to outlive the list.
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
    pairs_.reserve(pairs);
  }
  // Records are built one at a time: begin, add pairs, end.
  void begin_record();
  void add(std::string_view key, std::string_view value) {
    pairs_.push_back({arena_.copy(key), arena_.copy(value), position_code(key)});
  }
  // Adds a pair whose key text lives longer than this list, and whose
  // position is known: position_code(key). The key is not copied.
  void add_lasting_key(std::string_view key, std::string_view value, PositionCode position) {
    pairs_.push_back({key, arena_.copy(value), position});
  }
  // Sorts the open record by key bytes; where a key was added more than
  // once the pair added last is kept.
  void end_record();

  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  std::span<const TextPair> operator[](std::size_t i) const;

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
  std::vector<TextPair> pairs_;
  std::vector<std::size_t> starts_;  // first pair of each record
};

class JsonHl7 {
 public:
  explicit JsonHl7(RecordList records);

  static std::variant<JsonHl7, Hl7Error> from_file(const std::string& path);

  const RecordList& records() const { return records_; }
  const Hl7EscapeHandler& escape_handler() const { return *escape_handler_; }

  // The message text: one line per record, joined by line feeds, values
  // escaped when escape is set.
  std::variant<std::string, Hl7Error> convert(bool escape) const;

 private:
  RecordList records_;
  const Hl7EscapeHandler* escape_handler_;
};

}  // namespace mirabex
