#include "core/json_hl7.hpp"

#include <algorithm>
#include <cstring>

#include "core/hl7_json.hpp"
#include "core/json_reader.hpp"
#include "core/utils.hpp"

namespace mirabex {

namespace {

// One or more ASCII digits, after at most one '+', with a value that fits
// in 64 bits. Leading zeros are allowed.
std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Reads the digits at p as a number without '+' or overflow: the end of
// the digits, or null if there are none or too many to be sure of the value.
const char* read_plain_number(const char* p, const char* end, std::uint64_t& value) {
  const char* const start = p;
  std::uint64_t number = 0;
  for (; p != end && static_cast<unsigned char>(*p - '0') <= 9; ++p) {
    if (p - start == 19) return nullptr;
    number = number * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  if (p == start) return nullptr;
  value = number;
  return p;
}

// The keys Hl7Json writes, "k", "k.c", "k[r]" and "k[r].c", read in one
// pass. Anything else is left to the full grammar.
std::optional<Placement> parse_usual_key(std::string_view key) {
  const char* p = key.data();
  const char* const end = p + key.size();
  Placement placement;
  p = read_plain_number(p, end, placement.field);
  if (p == nullptr) return std::nullopt;
  if (p != end && *p == '[') {
    p = read_plain_number(p + 1, end, placement.repetition);
    if (p == nullptr || p == end || *p != ']') return std::nullopt;
    ++p;
  }
  if (p != end && *p == '.') {
    p = read_plain_number(p + 1, end, placement.component);
    if (p == nullptr) return std::nullopt;
  }
  if (p != end) return std::nullopt;
  return placement;
}

std::optional<Placement> parse_bracket_key(std::string_view key, std::size_t open,
                                           std::size_t close) {
  if (close < open) return std::nullopt;
  const auto field = parse_number(key.substr(0, open));
  const auto repetition = parse_number(key.substr(open + 1, close - open - 1));
  if (!field || !repetition) return std::nullopt;
  // Whatever follows "]" is disregarded unless it starts with ".".
  if (close + 1 == key.size() || key[close + 1] != '.') return Placement{*field, *repetition, 0};
  const auto component = parse_number(key.substr(close + 2));
  if (!component) return std::nullopt;
  return Placement{*field, *repetition, *component};
}

std::optional<Placement> parse_dotted_key(std::string_view key, std::size_t dot) {
  const std::string_view rest = key.substr(dot + 1);
  if (rest.find('.') != std::string_view::npos) return std::nullopt;
  const auto field = parse_number(key.substr(0, dot));
  const auto component = parse_number(rest);
  if (!field || !component) return std::nullopt;
  return Placement{*field, 0, *component};
}

struct PlacedValue {
  PositionCode position;
  std::string_view value;
};

bool by_position(const PlacedValue& a, const PlacedValue& b) { return a.position < b.position; }

std::uint64_t field_of(PositionCode position) { return position >> (2 * kPositionPartBits); }

std::optional<Hl7Error> check_bounds(const Placement& placement, std::string_view segment_name) {
  const auto refuse = [&](std::string_view what, std::uint64_t number) {
    return error_kind::FieldError{std::string(segment_name), placement.field,
                                  std::string(what) + " " + std::to_string(number) +
                                      " exceeds the limit of " + std::to_string(kMaxPosition)};
  };
  if (placement.field > kMaxPosition) return refuse("position", placement.field);
  if (placement.repetition > kMaxPosition) return refuse("repetition", placement.repetition);
  if (placement.component > kMaxPosition) return refuse("component", placement.component);
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
    Placement at{after_name ? 0u : 1u, 0, 1};
    for (std::size_t i = 0; i < placed.size(); ++i) {
      const Placement p = placement_of(placed[i].position);
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
    // Same repetition of the same field: same component, or this value is
    // the whole repetition (component 0).
    return (here & ~kPositionPartMask) == (next & ~kPositionPartMask) &&
           (here == next || (here & kPositionPartMask) == 0);
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
  AssembledSize size{records.size(), records.size()};
  for (const auto record : records) {
    std::uint64_t last_field = 0;
    for (const TextPair& pair : record) {
      size.hint += pair.value.size() + 1;
      size.most += longest_escape * pair.value.size();
      if (pair.position >= kBeyondLimit) continue;
      const Placement p = placement_of(pair.position);
      last_field = std::max(last_field, p.field);
      size.most += p.repetition + p.component;
    }
    size.most += last_field;
  }
  return size;
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

void TextArena::add_block(std::size_t at_least) {
  // Blocks double from small to large: a short message holds little.
  const std::size_t size = std::max(next_block_size_, at_least);
  next_block_size_ = std::min(next_block_size_ * 2, kLargestBlockSize);
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
  free_ = blocks_.back().get();
  free_size_ = size;
}

RecordList::RecordList(const RecordList& other) {
  pairs_.reserve(other.pairs_.size());
  starts_ = other.starts_;
  for (const TextPair& pair : other.pairs_) {
    pairs_.push_back({arena_.copy(pair.key), arena_.copy(pair.value), pair.position});
  }
}

RecordList& RecordList::operator=(const RecordList& other) {
  if (this != &other) *this = RecordList(other);
  return *this;
}

void RecordList::begin_record() { starts_.push_back(pairs_.size()); }

void RecordList::end_record() {
  const auto record = pairs_.begin() + static_cast<std::ptrdiff_t>(starts_.back());
  const auto key_order = [](const TextPair& a, const TextPair& b) { return a.key < b.key; };
  // Records taken from Hl7Json's output arrive in order: check before sorting.
  const auto out_of_order = [&](const TextPair& a, const TextPair& b) { return !key_order(a, b); };
  if (std::adjacent_find(record, pairs_.end(), out_of_order) == pairs_.end()) return;
  std::stable_sort(record, pairs_.end(), key_order);
  // Keep the last pair of each run of equal keys.
  auto write = record;
  for (auto read = record; read != pairs_.end(); ++read) {
    const auto next = std::next(read);
    if (next != pairs_.end() && next->key == read->key) continue;
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

std::span<const TextPair> RecordList::operator[](std::size_t i) const {
  const std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : pairs_.size();
  return std::span(pairs_).subspan(starts_[i], end - starts_[i]);
}

std::optional<Placement> parse_position_key(std::string_view key) {
  if (const auto usual = parse_usual_key(key)) return usual;
  if (key == kSegmentNameKey) return std::nullopt;
  if (const auto field = parse_number(key)) return Placement{*field, 0, 0};
  const std::size_t open = key.find('[');
  const std::size_t close = key.find(']');
  if (open != std::string_view::npos && close != std::string_view::npos) {
    return parse_bracket_key(key, open, close);
  }
  const std::size_t dot = key.find('.');
  if (dot != std::string_view::npos) return parse_dotted_key(key, dot);
  return std::nullopt;
}

PositionCode position_code(std::string_view key) {
  const auto placement = parse_position_key(key);
  return placement ? pack_position(placement->field, placement->repetition, placement->component)
                   : kNoPosition;
}

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
