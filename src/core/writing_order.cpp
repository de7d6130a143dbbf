#include "core/writing_order.hpp"

#include <algorithm>
#include <string>

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

std::optional<std::string_view> segment_name_of(std::span<const TextPair> record) {
  const auto name = std::ranges::lower_bound(record, kSegmentNameKey, {}, &TextPair::key);
  if (name == record.end() || name->key != kSegmentNameKey) return std::nullopt;
  return name->value;
}

}  // namespace

// Sorts the values of one field by position, stably: among values for one
// position the last stays last. They come in byte order of their keys: a
// few are out of place ("1.10" before "1.2"), many repetitions are in
// decimal-text order.
void sort_field(std::span<PlacedValue> values) {
  if (values.size() > 16) {
    std::ranges::stable_sort(values, by_position);
    return;
  }
  for (std::size_t i = 1; i < values.size(); ++i) {
    const PlacedValue moving = values[i];
    std::size_t j = i;
    for (; j > 0 && by_position(moving, values[j - 1]); --j) values[j] = values[j - 1];
    values[j] = moving;
  }
}

std::span<PlacedValue> PositionSorter::sort(std::span<PlacedValue> placed,
                                            std::uint64_t last_field) {
  if (last_field > 4 * placed.size() + 64) {  // few values, far apart
    std::ranges::stable_sort(placed, by_position);
    return placed;
  }
  starts_.assign(static_cast<std::size_t>(last_field) + 2, 0);
  for (const PlacedValue& p : placed) ++starts_[static_cast<std::size_t>(field_of(p.position)) + 1];
  for (std::size_t f = 1; f < starts_.size(); ++f) starts_[f] += starts_[f - 1];
  if (sorted_.size() < placed.size()) sorted_.resize(placed.size());
  for (const PlacedValue& p : placed) {
    sorted_[starts_[static_cast<std::size_t>(field_of(p.position))]++] = p;
  }
  const std::span sorted = std::span(sorted_).first(placed.size());
  // Each field's values now end where its start was moved to.
  std::size_t begin = 0;
  for (std::size_t f = 0; f + 1 < starts_.size(); ++f) {
    const std::size_t end = starts_[f];
    if (end - begin > 1) sort_field(sorted.subspan(begin, end - begin));
    begin = end;
  }
  return sorted;
}

std::optional<Hl7Error> WritingOrder::read(std::span<const TextPair> record) {
  reserve(record.size());
  record_ = record;
  name_.reset();
  runs_.clear();
  last_field_ = 0;
  PositionCode previous = 0;
  for (std::size_t i = 0; i < record.size(); ++i) {
    const TextPair& pair = record[i];
    const PositionCode code = pair.position;
    if (code >= kBeyondLimit) {
      if (code == kBeyondLimit) {
        // Read the key again for the numbers the error names.
        return check_bounds(*parse_position_key(pair.key), segment_name_of(record).value_or(""));
      }
      if (pair.key == kSegmentNameKey) name_ = pair.value;
      continue;
    }
    const std::uint64_t field = field_of(code);
    if (runs_.empty() || field != runs_.back().field) {
      runs_.push_back({field, i, i + 1, true});
      last_field_ = std::max(last_field_, field);
    } else {
      Run& run = runs_.back();
      // Rising strictly, and no value for a whole repetition before a
      // component of it: nothing gives way.
      run.in_order &=
          code > previous && !(fills_repetition(previous) && same_repetition(previous, code));
      run.end = i + 1;
    }
    previous = code;
  }
  return std::nullopt;
}

bool WritingOrder::index_runs() {
  if (last_field_ > 4 * record_.size() + 64) return false;
  if (run_of_field_.size() <= last_field_) run_of_field_.resize(last_field_ + 1);
  bool one_run_each = true;
  for (std::size_t r = 0; r < runs_.size(); ++r) {
    std::uint32_t& slot = run_of_field_[runs_[r].field];
    one_run_each &= slot == 0;
    slot = static_cast<std::uint32_t>(r + 1);
  }
  if (!one_run_each) clear_index();
  return one_run_each;
}

void WritingOrder::clear_index() {
  for (const Run& run : runs_) run_of_field_[run.field] = 0;
}

}  // namespace mirabex
