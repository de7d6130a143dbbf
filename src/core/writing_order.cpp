#include "core/writing_order.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace mirabex {

namespace {

constexpr auto by_position = [](const PlacedValue& a, const PlacedValue& b) {
  return a.position < b.position;
};

std::optional<Hl7Error> check_bounds(const Position& position, std::string_view segment_name) {
  const auto refuse = [&](std::string_view what, std::uint64_t number) {
    return error_kind::FieldError{std::string(segment_name), position.field,
                                  std::string(what) + " " + std::to_string(number) +
                                      " exceeds the limit of " + std::to_string(kMaxPosition)};
  };
  if (position.field > kMaxPosition) return refuse("position", position.field);
  if (position.repetition > kMaxPosition) return refuse("repetition", position.repetition);
  if (position.component > kMaxPosition) return refuse("component", position.component);
  return std::nullopt;
}

void insertion_sort(std::span<PlacedValue> values) {
  for (std::size_t i = 1; i < values.size(); ++i) {
    const PlacedValue moving = values[i];
    std::size_t j = i;
    for (; j > 0 && by_position(moving, values[j - 1]); --j) values[j] = values[j - 1];
    values[j] = moving;
  }
}

// Puts the values in order of the number `number_of` gives each (at most
// `last`) by a counting sort into `sorted`, in two moves each and stably,
// then each group of one number in order by sort_field.
template <class NumberOf>
std::span<PlacedValue> sort_by_number(std::span<const PlacedValue> values, std::uint64_t last,
                                      NumberOf number_of, std::vector<std::size_t>& starts,
                                      std::vector<PlacedValue>& sorted) {
  starts.assign(static_cast<std::size_t>(last) + 2, 0);
  for (const PlacedValue& v : values) ++starts[static_cast<std::size_t>(number_of(v)) + 1];
  for (std::size_t n = 1; n < starts.size(); ++n) starts[n] += starts[n - 1];
  if (sorted.size() < values.size()) sorted.resize(values.size());
  for (const PlacedValue& v : values) sorted[starts[static_cast<std::size_t>(number_of(v))]++] = v;
  const std::span in_order = std::span(sorted).first(values.size());
  // Each group's values now end where its start was moved to.
  std::size_t begin = 0;
  for (std::size_t n = 0; n + 1 < starts.size(); ++n) {
    const std::size_t end = starts[n];
    if (end - begin > 1) sort_field(in_order.subspan(begin, end - begin));
    begin = end;
  }
  return in_order;
}

// Many values of one field, spread over repetitions numbered not far past
// their count, are sorted by repetition number first. False, having moved
// nothing, when they are all of one repetition or too far apart.
bool sort_by_repetition(std::span<PlacedValue> values) {
  const auto repetition_of = [](const PlacedValue& v) {
    return (v.position >> kPositionPartBits) & kPositionPartMask;
  };
  std::uint64_t first = UINT64_MAX;
  std::uint64_t last = 0;
  for (const PlacedValue& v : values) {
    first = std::min(first, repetition_of(v));
    last = std::max(last, repetition_of(v));
  }
  if (first == last || last > 4 * values.size() + 64) return false;
  std::vector<std::size_t> starts;
  std::vector<PlacedValue> sorted;
  std::ranges::copy(sort_by_number(values, last, repetition_of, starts, sorted), values.begin());
  return true;
}

}  // namespace

// Sorts the values of one field by position, stably: among values for one
// position the last stays last. They come in byte order of their keys: a
// few are out of place ("1.10" before "1.2"), many repetitions are in
// decimal-text order ("1[1]", "1[10]", "1[100]", "1[2]").
void sort_field(std::span<PlacedValue> values) {
  if (values.size() <= 16) {
    insertion_sort(values);
    return;
  }
  if (!sort_by_repetition(values)) std::ranges::stable_sort(values, by_position);
}

std::optional<std::string_view> WritingOrder::name_of(std::span<const TextPair> record) {
  // Other keys seldom sort after it.
  if (!record.empty() && record.back().key == kSegmentNameKey) return record.back().value;
  const auto name = std::ranges::lower_bound(record, kSegmentNameKey, {}, &TextPair::key);
  if (name == record.end() || name->key != kSegmentNameKey) return std::nullopt;
  return name->value;
}

std::span<PlacedValue> PositionSorter::sort(std::span<PlacedValue> placed,
                                            std::uint64_t last_field) {
  if (last_field > 4 * placed.size() + 64) {  // few values, far apart
    std::ranges::stable_sort(placed, by_position);
    return placed;
  }
  const auto field_of_value = [](const PlacedValue& v) { return field_of(v.position); };
  return sort_by_number(placed, last_field, field_of_value, starts_, sorted_);
}

std::optional<Hl7Error> WritingOrder::read(std::span<const TextPair> record) {
  record_ = record;
  name_.reset();
  std::uint64_t last_field = 0;
  bool by_field = record.size() < UINT32_MAX;
  // Few values far apart are sorted instead: the table stays within a few
  // entries a pair.
  const std::size_t table_size = 4 * record.size() + 65;
  FieldPairs* table = fields_.data();
  std::size_t table_length = fields_.size();
  // Half the pairs open a field, in no order a branch could learn: the
  // loop has no branch on it. The open field's entry is kept in locals and
  // stored whole at every pair, never read back but to tell whether a
  // field opening was met before.
  std::uint64_t open_field = UINT64_MAX;  // no field: the first pair opens one
  std::uint32_t open_begin = 0;
  bool open_in_order = true;
  PositionCode previous = 0;
  for (std::size_t i = 0; i < record.size(); ++i) {
    const TextPair& pair = record[i];
    const PositionCode code = pair.position;
    if (code >= kBeyondLimit) [[unlikely]] {
      if (code == kBeyondLimit) {
        last_field_ = last_field;
        clear_fields();
        // Read the key again for the numbers the error names.
        return check_bounds(*parse_position_key(pair.key), name_of(record).value_or(""));
      }
      if (pair.key == kSegmentNameKey) name_ = pair.value;
      continue;
    }
    const std::uint64_t field = field_of(code);
    if (field >= table_length) [[unlikely]] {
      if (field < table_size) {
        fields_.resize(std::min<std::size_t>(table_size, std::max<std::size_t>(field + 1, 128)));
        table = fields_.data();
        table_length = fields_.size();
      } else {
        by_field = false;  // the pairs of fields past the table share entry 0
      }
    }
    FieldPairs& entry = table[field < table_length ? field : 0];
    const auto index = static_cast<std::uint32_t>(i);
    const bool opens = field != open_field;
    // A field met before in another place.
    by_field &= !opens | (entry.begin == 0);
    // Rising strictly, and no value for a whole repetition before a
    // component of it: nothing gives way.
    const bool rising =
        (code > previous) & !(fills_repetition(previous) & same_repetition(previous, code));
    open_begin = opens ? index + 1 : open_begin;
    open_in_order = opens | (open_in_order & rising);
    entry = {open_begin, index + 1, open_in_order};
    last_field = std::max(last_field, field);
    open_field = field;
    previous = code;
  }
  last_field_ = last_field;
  by_field_ = by_field;
  return std::nullopt;
}

void WritingOrder::clear_fields() {
  const std::size_t filled = std::min<std::uint64_t>(last_field_ + 1, fields_.size());
  std::fill_n(fields_.begin(), filled, FieldPairs{});
}

}  // namespace mirabex
