// RecordList: records, each a map from key text to value text, built one
// at a time and read as spans of pairs. JSON text, Python objects and the
// assembly all meet here.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/position.hpp"
#include "core/text_arena.hpp"

namespace mirabex {

struct TextPair {
  std::string_view key;
  std::string_view value;
  PositionCode position = kNoPosition;  // of the key, read once when it is added
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
  std::vector<TextPair> pairs_;
  std::vector<std::size_t> starts_;  // first pair of each record
};

}  // namespace mirabex
