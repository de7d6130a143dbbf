#include "core/json_hl7.hpp"

#include <algorithm>
#include <cstring>

#include "core/json_reader.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"

namespace mirabex {

namespace {

struct PlacedValue {
  PositionCode position;
  std::string_view value;
};

bool by_position(const PlacedValue& a, const PlacedValue& b) { return a.position < b.position; }

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

// Where a segment writer puts its text: appended to a string.
class TextOutput {
 public:
  explicit TextOutput(std::string& out) : out_(out) {}
  void append(std::size_t count, char separator) { out_.append(count, separator); }
  void append(std::string_view text) { out_ += text; }
  void append_escaped(std::string_view text, const Hl7EscapeHandler& escape) {
    escape.escape_append(text, out_);
  }
  void value_written(std::uint64_t) {}

 private:
  std::string& out_;
};

// Where a segment writer puts its text: only counted, noting the field
// whose value first takes the count past the assembly's size limit.
class SizeCount {
 public:
  void append(std::size_t count, char) { size_ += count; }
  void append(std::string_view text) { size_ += text.size(); }
  void append_escaped(std::string_view text, const Hl7EscapeHandler& escape) {
    size_ += escape.escaped_size(text);
  }
  void value_written(std::uint64_t field) {
    if (size_ > kMaxAssembledSize && !field_past_limit_) field_past_limit_ = field;
  }
  std::optional<std::uint64_t> field_past_limit() const { return field_past_limit_; }

 private:
  std::uint64_t size_ = 0;
  std::optional<std::uint64_t> field_past_limit_;
};

// Writes one segment line from the placed values of a record, sorted by
// position with the winning value last among equals, in one pass: the
// separators between two values follow from how their positions differ.
template <class Output>
class SegmentWriter {
 public:
  SegmentWriter(Output& out, const Hl7EscapeHandler* escape, bool is_header)
      : out_(out), escape_(escape), is_header_(is_header) {}

  // The name, escaped like any value so that it cannot inject separators,
  // then the fields.
  void write_segment(std::optional<std::string_view> name, std::span<const PlacedValue> placed) {
    if (name) write_value(*name, 0);  // position 0: never the header's raw field
    write_fields(placed, name.has_value());
  }

 private:
  void write_fields(std::span<const PlacedValue> placed, bool after_name) {
    // Field 1 follows a separator only when a name precedes it.
    Position at{after_name ? 0u : 1u, 0, 1};
    for (std::size_t i = 0; i < placed.size(); ++i) {
      const Position p = position_of(placed[i].position);
      if (p.field == 0 || is_overridden(placed, i)) continue;
      if (p.field != at.field) {
        out_.append(static_cast<std::size_t>(p.field - at.field), kFieldSeparator);
        at = {p.field, 0, 1};
      }
      if (p.repetition != at.repetition) {
        out_.append(static_cast<std::size_t>(p.repetition - at.repetition), kRepetitionSeparator);
        at.repetition = p.repetition;
        at.component = 1;
      }
      if (p.component > at.component) {
        out_.append(static_cast<std::size_t>(p.component - at.component), kComponentSeparator);
        at.component = p.component;
      }
      write_value(placed[i].value, p.field);
    }
  }

  // A value gives way to the next one for the same position, and a value
  // for the whole repetition (component 0) to any component of it.
  static bool is_overridden(std::span<const PlacedValue> placed, std::size_t i) {
    if (i + 1 == placed.size()) return false;
    const PositionCode here = placed[i].position;
    const PositionCode next = placed[i + 1].position;
    return same_repetition(here, next) && (here == next || fills_repetition(here));
  }

  void write_value(std::string_view value, std::uint64_t field) {
    // The header's encoding characters are written as they are.
    if (escape_ != nullptr && !(is_header_ && field == 1)) {
      out_.append_escaped(value, *escape_);
    } else {
      out_.append(value);
    }
    out_.value_written(field);
  }

  Output& out_;
  const Hl7EscapeHandler* escape_;
  bool is_header_;
};

// Sorts by position, stably: among values for one position the last stays
// last. Keys arrive in byte order ("1", "10", "11", "2"), so values come
// nearly grouped by field but not in field order: a counting sort by field
// puts them in order in two moves each, and each field's few values are
// then ordered by repetition and component in place.
class PositionSorter {
 public:
  void sort(std::vector<PlacedValue>& placed) {
    if (placed.size() < 2) return;
    const std::uint64_t last_field = field_of(std::ranges::max(placed, by_position).position);
    if (last_field > 4 * placed.size() + 64) {  // few values, far apart
      std::ranges::stable_sort(placed, by_position);
      return;
    }
    starts_.assign(static_cast<std::size_t>(last_field) + 2, 0);
    for (const PlacedValue& p : placed) {
      ++starts_[static_cast<std::size_t>(field_of(p.position)) + 1];
    }
    for (std::size_t f = 1; f < starts_.size(); ++f) starts_[f] += starts_[f - 1];
    sorted_.resize(placed.size());
    for (const PlacedValue& p : placed)
      sorted_[starts_[static_cast<std::size_t>(field_of(p.position))]++] = p;
    placed.swap(sorted_);
    sort_within_fields(placed);
  }

 private:
  // A field's values come in byte order of their keys: a few are out of
  // place ("1.10" before "1.2"), many repetitions are in decimal-text order.
  static void sort_within_fields(std::vector<PlacedValue>& placed) {
    auto group = placed.begin();
    while (group != placed.end()) {
      const auto next = std::find_if(group, placed.end(), [&](const PlacedValue& p) {
        return field_of(p.position) != field_of(group->position);
      });
      if (next - group > 16) {
        std::stable_sort(group, next, by_position);
      } else {
        insertion_sort(group, next);
      }
      group = next;
    }
  }

  static void insertion_sort(std::vector<PlacedValue>::iterator first,
                             std::vector<PlacedValue>::iterator last) {
    for (auto i = first; i != last; ++i) {
      const PlacedValue moving = *i;
      auto j = i;
      for (; j != first && by_position(moving, *(j - 1)); --j) *j = *(j - 1);
      *j = moving;
    }
  }

  std::vector<std::size_t> starts_;
  std::vector<PlacedValue> sorted_;
};

std::optional<std::string_view> segment_name_of(std::span<const TextPair> record) {
  const auto name = std::ranges::lower_bound(record, kSegmentNameKey, {}, &TextPair::key);
  if (name == record.end() || name->key != kSegmentNameKey) return std::nullopt;
  return name->value;
}

template <class Output>
std::optional<Hl7Error> append_segment(std::span<const TextPair> record,
                                       const Hl7EscapeHandler* escape,
                                       std::vector<PlacedValue>& placed, PositionSorter& sorter,
                                       Output& out) {
  const std::optional<std::string_view> name = segment_name_of(record);
  const std::string_view segment_name = name.value_or("");
  placed.clear();
  for (const TextPair& pair : record) {
    // Read the key again for the numbers the error names.
    if (pair.position == kBeyondLimit) {
      return check_bounds(*parse_position_key(pair.key), segment_name);
    }
    if (pair.position != kNoPosition) placed.push_back({pair.position, pair.value});
  }
  // Stable: among keys naming one position, the one that sorts last wins.
  sorter.sort(placed);
  SegmentWriter<Output>(out, escape, segment_name == "MSH").write_segment(name, placed);
  return std::nullopt;
}

struct AssembledSize {
  std::size_t hint = 0;    // the length without escaping or separators
  std::uint64_t most = 0;  // the length can be no more than this
};

// Both from the pairs alone, in one pass: the most counts every value at
// its longest escaped and every separator a position could ask for.
AssembledSize assembled_size(const RecordList& records, std::uint64_t longest_escape) {
  std::uint64_t value_bytes = 0;
  std::uint64_t pairs = 0;
  std::uint64_t separators = 0;
  for (const auto record : records) {
    // Codes order by field first: the highest code holds the last field.
    PositionCode highest = 0;
    for (const TextPair& pair : record) {
      value_bytes += pair.value.size();
      const PositionCode code = pair.position < kBeyondLimit ? pair.position : 0;
      highest = std::max(highest, code);
      separators += (code & kPositionPartMask) + ((code >> kPositionPartBits) & kPositionPartMask);
    }
    pairs += record.size();
    separators += field_of(highest);
  }
  return {records.size() + value_bytes + pairs,
          records.size() + longest_escape * value_bytes + separators};
}

// The first failure in writing order, counting the text instead of writing
// it: a position past the limit, or the assembled text growing past
// kMaxAssembledSize.
std::optional<Hl7Error> check_assembled_size(const RecordList& records,
                                             const Hl7EscapeHandler* escape) {
  std::vector<PlacedValue> placed;
  PositionSorter sorter;
  SizeCount count;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i > 0) count.append(1, '\n');
    if (auto error = append_segment(records[i], escape, placed, sorter, count)) return error;
    if (const auto field = count.field_past_limit()) {
      return error_kind::FieldError{
          std::string(segment_name_of(records[i]).value_or("")), *field,
          "the assembled message would exceed " + std::to_string(kMaxAssembledSize) + " bytes"};
    }
  }
  return std::nullopt;
}

}  // namespace

JsonHl7::JsonHl7(RecordList records)
    : records_(std::move(records)), escape_handler_(&default_escape_handler()) {}

std::variant<JsonHl7, Hl7Error> JsonHl7::from_file(const std::string& path) {
  const auto text = read_message_file(path);
  if (const auto* error = std::get_if<Hl7Error>(&text)) return *error;
  auto records = records_from_json(std::get<std::string>(text));
  if (auto* error = std::get_if<Hl7Error>(&records)) return std::move(*error);
  return JsonHl7(std::get<RecordList>(std::move(records)));
}

std::variant<std::string, Hl7Error> JsonHl7::convert(bool escape) const {
  const Hl7EscapeHandler* handler = escape ? escape_handler_ : nullptr;
  const AssembledSize size = assembled_size(records_, escape ? handler->longest_escape() : 1);
  // A few short keys can ask for gigabytes of separators: count exactly
  // before writing whenever the text might pass the limit.
  if (size.most > kMaxAssembledSize) {
    if (auto error = check_assembled_size(records_, handler)) return std::move(*error);
  }
  std::string out;
  out.reserve(size.hint);
  TextOutput output(out);
  std::vector<PlacedValue> placed;
  PositionSorter sorter;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (i > 0) out += '\n';
    if (auto error = append_segment(records_[i], handler, placed, sorter, output)) {
      return std::move(*error);
    }
  }
  return out;
}

}  // namespace mirabex
