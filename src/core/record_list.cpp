#include "core/record_list.hpp"

#include <algorithm>

namespace mirabex {

RecordList::RecordList(const RecordList& other) {
  pairs_.reserve(other.pairs_.size());
  starts_ = other.starts_;
  value_starts_ = other.value_starts_;
  value_bytes_ = other.value_bytes_;
  values_ascii_ = other.values_ascii_;
  for (const TextPair& pair : other.pairs_) {
    const std::string_view key = arena_.copy(pair.key);
    const std::string_view value = arena_.copy(pair.value);
    pairs_.emplace_back(key.data(), key.size(), value.data(), value.size(), pair.position,
                        pair.order);
  }
}

RecordList& RecordList::operator=(const RecordList& other) {
  if (this != &other) *this = RecordList(other);
  return *this;
}

void RecordList::begin_record() {
  starts_.push_back(pairs_.size());
  value_starts_.push_back(value_bytes_);
  // The first key may be the empty one, whose order number is 0: such a
  // record is checked in full.
  rising_ = true;
  last_order_ = 0;
}

void RecordList::end_record() {
  if (rising_) return;
  const auto record = pairs_.begin() + static_cast<std::ptrdiff_t>(starts_.back());
  // Records taken from Hl7Json's output arrive in order: check before sorting.
  const auto out_of_order = [](const TextPair& a, const TextPair& b) { return !key_before(a, b); };
  if (std::adjacent_find(record, pairs_.end(), out_of_order) == pairs_.end()) return;
  std::stable_sort(record, pairs_.end(), key_before);
  // Keep the last pair of each run of equal keys.
  auto write = record;
  for (auto read = record; read != pairs_.end(); ++read) {
    const auto next = std::next(read);
    if (next != pairs_.end() && next->order == read->order && next->key == read->key) continue;
    *write++ = *read;
  }
  pairs_.erase(write, pairs_.end());
}

bool operator==(const RecordList& a, const RecordList& b) {
  const auto same_pair = [](const TextPair& x, const TextPair& y) {
    return x.key == y.key && x.value == y.value;
  };
  return a.size() == b.size() && std::ranges::equal(a, b, [&](auto x, auto y) {
           return std::ranges::equal(x, y, same_pair);
         });
}

}  // namespace mirabex
