#include "core/json_hl7.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/escape_scanner.hpp"
#include "core/json_reader.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"

namespace mirabex {

namespace {

struct PlacedValue {
  PositionCode position;
  std::string_view value;
};

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

// Sorts by position, stably. Keys arrive in byte order ("1", "10", "11",
// "2"), so values come grouped by field but not in field order: a counting
// sort by field puts them in order in two moves each, and each field's few
// values are then ordered in place.
class PositionSorter {
 public:
  std::span<PlacedValue> sort(std::span<PlacedValue> placed, std::uint64_t last_field) {
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

 private:
  std::vector<std::size_t> starts_;
  std::vector<PlacedValue> sorted_;
};

// Visits a record's values in writing order, leaving out each value that
// gives way to another: to the next one for the same position, or, for a
// value that fills a whole repetition (component 0), to any component of
// it. Keys come in byte order ("1", "10", "11", "2"), which keeps each
// field's keys together, and in position order within the field as long
// as numbers stay below ten: fields are visited through a table by field
// number, and only the values of a field out of order are moved, to be
// sorted. A record whose field's keys lie apart is sorted whole.
class WritingOrder {
 public:
  // Fails for a key that names a position past the limit.
  std::optional<Hl7Error> read(std::span<const TextPair> record) {
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

  std::optional<std::string_view> name() const { return name_; }

  // Room for records of up to this many pairs.
  void reserve(std::size_t pairs) {
    runs_.reserve(pairs);
    if (placed_.size() < pairs) placed_.resize(pairs);
  }

  // Calls writer.put(code, value) for each value in writing order.
  template <class Writer>
  void visit(Writer& writer) {
    if (index_runs()) {
      visit_runs(writer);
    } else {
      std::size_t count = 0;
      for (const TextPair& pair : record_) {
        if (pair.position < kBeyondLimit && field_of(pair.position) != 0) {
          placed_[count++] = {pair.position, pair.value};
        }
      }
      put_sorted(sorter_.sort(std::span(placed_).first(count), last_field_), writer);
    }
  }

 private:
  static constexpr std::uint64_t kNoField = UINT64_MAX;

  // The pairs of one field, some of which may name no position.
  struct Run {
    std::uint64_t field;
    std::size_t begin;
    std::size_t end;
    bool in_order;
  };

  // Fills the table of runs by field; false when the fields cannot be
  // visited that way.
  bool index_runs() {
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

  void clear_index() {
    for (const Run& run : runs_) run_of_field_[run.field] = 0;
  }

  template <class Writer>
  void visit_runs(Writer& writer) {
    // Field 0 is never written.
    for (std::uint64_t field = 1; field <= last_field_; ++field) {
      const std::uint32_t number = run_of_field_[field];
      if (number == 0) continue;
      const Run& run = runs_[number - 1];
      if (!run.in_order) {
        put_run_sorted(run, writer);
        continue;
      }
      for (std::size_t i = run.begin; i < run.end; ++i) {
        const TextPair& pair = record_[i];
        if (pair.position < kBeyondLimit) writer.put(pair.position, pair.value);
      }
    }
    clear_index();
  }

  // A field of one repetition with components out of text order ("5.1",
  // "5.10", "5.2"), placed by component number in a small table: no value
  // moves. False, having written nothing, for any other field.
  template <class Writer>
  bool put_components_in_place(const Run& run, Writer& writer) {
    constexpr std::size_t kComponents = 64;
    std::array<std::uint32_t, kComponents> pair_at{};  // the pair's index from 1; 0: none
    PositionCode repetition = kNoPosition;
    std::size_t last = 0;
    for (std::size_t i = run.begin; i < run.end; ++i) {
      const PositionCode code = record_[i].position;
      if (code >= kBeyondLimit) continue;
      const std::size_t component = code & kPositionPartMask;
      if (repetition == kNoPosition) repetition = code & ~kPositionPartMask;
      if ((code & ~kPositionPartMask) != repetition || component >= kComponents ||
          pair_at[component] != 0) {
        return false;
      }
      pair_at[component] = static_cast<std::uint32_t>(i - run.begin + 1);
      last = std::max(last, component);
    }
    // A value for the whole repetition gives way to any component of it.
    for (std::size_t component = last > 0 ? 1 : 0; component <= last; ++component) {
      if (pair_at[component] == 0) continue;
      const TextPair& pair = record_[run.begin + pair_at[component] - 1];
      writer.put(pair.position, pair.value);
    }
    return true;
  }

  template <class Writer>
  void put_run_sorted(const Run& run, Writer& writer) {
    if (put_components_in_place(run, writer)) return;
    std::size_t count = 0;
    for (std::size_t i = run.begin; i < run.end; ++i) {
      const TextPair& pair = record_[i];
      if (pair.position < kBeyondLimit) placed_[count++] = {pair.position, pair.value};
    }
    const std::span values = std::span(placed_).first(count);
    sort_field(values);
    put_sorted(values, writer);
  }

  template <class Writer>
  static void put_sorted(std::span<const PlacedValue> sorted, Writer& writer) {
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const PositionCode code = sorted[i].position;
      if (i + 1 < sorted.size()) {
        const PositionCode next = sorted[i + 1].position;
        if (same_repetition(code, next) && (code == next || fills_repetition(code))) continue;
      }
      writer.put(code, sorted[i].value);
    }
  }

  std::span<const TextPair> record_;
  std::optional<std::string_view> name_;
  std::vector<Run> runs_;
  std::uint64_t last_field_ = 0;
  std::vector<std::uint32_t> run_of_field_;  // a field's run number from 1; 0: none
  std::vector<PlacedValue> placed_;  // as many as the largest record has pairs
  PositionSorter sorter_;
};

// Writes the values of one segment line, given in writing order, each after
// the separators that lead to its position. The Output writes or counts.
template <class Output>
class LineWriter {
 public:
  explicit LineWriter(Output& out) : out_(out) {}

  // The name comes first, escaped like any value so that it cannot inject
  // separators. Field 1 follows a separator only when a name precedes it.
  void start(std::optional<std::string_view> name) {
    header_ = name == "MSH";
    at_field_ = name ? 0 : 1;
    at_repetition_ = 0;
    at_component_ = 1;
    if (name) {
      out_.make_room(name->size());
      out_.value(0, *name, false);
    }
  }

  // A value at its position: values come in writing order.
  [[gnu::always_inline]] void put(PositionCode code, std::string_view value) {
    const std::uint64_t field = field_of(code);
    const std::uint64_t repetition = (code >> kPositionPartBits) & kPositionPartMask;
    const std::uint64_t component = code & kPositionPartMask;
    out_.make_room(value.size());
    if (field != at_field_) {
      out_.separators(field - at_field_, kFieldSeparator);
      at_field_ = field;
      at_repetition_ = 0;
      at_component_ = 1;
    }
    if (repetition != at_repetition_) {
      out_.separators(repetition - at_repetition_, kRepetitionSeparator);
      at_repetition_ = repetition;
      at_component_ = 1;
    }
    if (component > at_component_) {
      out_.separators(component - at_component_, kComponentSeparator);
      at_component_ = component;
    }
    // The header's encoding characters are written as they are.
    out_.value(field, value, header_ && field == 1);
  }

 private:
  Output& out_;
  bool header_ = false;
  std::uint64_t at_field_ = 0;
  std::uint64_t at_repetition_ = 0;
  std::uint64_t at_component_ = 1;
};

// Where a line writer puts its text: only counted, noting the field whose
// value first takes the count past the assembly's size limit.
class SizeCount {
 public:
  explicit SizeCount(const Hl7EscapeHandler* escape) : escape_(escape) {}

  void line_break() { ++size_; }
  void make_room(std::uint64_t) {}
  void separators(std::uint64_t count, char) { size_ += count; }
  void value(std::uint64_t field, std::string_view text, bool as_is) {
    size_ += escape_ != nullptr && !as_is ? escape_->escaped_size(text) : text.size();
    if (size_ > kMaxAssembledSize && !field_past_limit_) field_past_limit_ = field;
  }
  std::optional<std::uint64_t> field_past_limit() const { return field_past_limit_; }

 private:
  const Hl7EscapeHandler* escape_;
  std::uint64_t size_ = 0;
  std::optional<std::uint64_t> field_past_limit_;
};

// The first failure in writing order, counting the text instead of writing
// it: a position past the limit, or the assembled text growing past
// kMaxAssembledSize.
std::optional<Hl7Error> check_assembled_size(const RecordList& records,
                                             const Hl7EscapeHandler* escape) {
  SizeCount count(escape);
  WritingOrder order;
  LineWriter line(count);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (auto error = order.read(records[i])) return error;
    if (i > 0) count.line_break();
    line.start(order.name());
    order.visit(line);
    if (const auto field = count.field_past_limit()) {
      return error_kind::FieldError{
          std::string(order.name().value_or("")), *field,
          "the assembled message would exceed " + std::to_string(kMaxAssembledSize) + " bytes"};
    }
  }
  return std::nullopt;
}

// Raw memory for the text.
class TextBuffer {
 public:
  explicit TextBuffer(std::size_t capacity)
      : data_(std::make_unique_for_overwrite<char[]>(capacity)), capacity_(capacity) {}

  char* begin() const { return data_.get(); }
  std::size_t capacity() const { return capacity_; }

  // Room for `bytes` after the first `used`, which are kept; returns the
  // new place of `used`.
  char* grow(std::size_t used, std::size_t bytes) {
    const std::size_t capacity = std::max(2 * capacity_, used + bytes);
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(grown.get(), data_.get(), used);
    data_ = std::move(grown);
    capacity_ = capacity;
    return data_.get() + used;
  }

  AssembledText release(std::size_t size) { return {std::move(data_), size}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_;
};

// Where a line writer puts its text: raw memory, written without a check
// per byte. Before each value the writer makes sure of room for it, as
// written without escapes, and for a separator of each kind, plus kSlack
// bytes, as short values are copied in whole 16-byte words. Longer runs of
// separators, and a value that needs escaping, make room for themselves.
class BufferOutput {
 public:
  static constexpr std::size_t kSlack = 16;

  BufferOutput(const RecordList& records, const Hl7EscapeHandler* escape)
      : escape_(escape),
        scanner_(escape != nullptr ? *escape : default_escape_handler()),
        buffer_(first_capacity(records)),
        at_(buffer_.begin()),
        end_(at_ + buffer_.capacity()) {}

  AssembledText release() { return buffer_.release(used()); }

  void line_break() {
    make_room(1);
    *at_++ = '\n';
  }

  // Room for a value of this size and a separator of each kind.
  void make_room(std::uint64_t value_size) {
    room_asked_ = value_size + 3 + kSlack;
    reserve(room_asked_);
  }

  void separators(std::uint64_t count, char separator) {
    if (count == 1) [[likely]] {
      *at_++ = separator;
      return;
    }
    // Keeps the room asked for the value that follows.
    reserve(count + room_asked_);
    std::memset(at_, separator, static_cast<std::size_t>(count));
    at_ += count;
  }

  [[gnu::always_inline]] void value(std::uint64_t, std::string_view text, bool as_is) {
    copy_ahead(text);
    if (escape_ == nullptr || as_is) {
      at_ += text.size();
      return;
    }
    // Most values need no escaping: the copy stands. One that does is
    // written again from its first byte that needs it.
    const std::size_t first = scanner_.first_candidate(text);
    at_ += first;
    if (first != text.size()) {
      reserve(escape_->longest_escape() * (text.size() - first) + kSlack);
      at_ = escape_->escape_into(text, first, at_);
    }
  }

 private:
  // Room for the values once, and about one separator each.
  static std::size_t first_capacity(const RecordList& records) {
    return records.value_bytes() + 2 * records.pair_count() + records.size() + kSlack;
  }

  std::size_t used() const { return static_cast<std::size_t>(at_ - buffer_.begin()); }

  void reserve(std::uint64_t bytes) {
    if (bytes > static_cast<std::uint64_t>(end_ - at_)) [[unlikely]] {
      at_ = buffer_.grow(used(), static_cast<std::size_t>(bytes));
      end_ = buffer_.begin() + buffer_.capacity();
    }
  }

  // Values live in a record list's arena, followed by its read padding.
  void copy_ahead(std::string_view text) {
    static_assert(TextArena::kReadPadding >= kSlack - 1);
    if (text.size() - 1 < kSlack) {
      std::memcpy(at_, text.data(), kSlack);
    } else if (!text.empty()) {
      std::memcpy(at_, text.data(), text.size());
    }
  }

  const Hl7EscapeHandler* escape_;
  EscapeScanner scanner_;
  TextBuffer buffer_;
  char* at_;
  char* end_;
  std::uint64_t room_asked_ = 0;
};

// The most bytes the text can take, from the pairs alone: every value at
// its longest escaped, every separator a position could ask for.
std::uint64_t most_bytes(const RecordList& records, const Hl7EscapeHandler* escape) {
  const std::uint64_t longest_escape = escape != nullptr ? escape->longest_escape() : 1;
  return records.size() + longest_escape * records.value_bytes() + records.position_sum();
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

std::variant<AssembledText, Hl7Error> JsonHl7::assemble(bool escape) const {
  const Hl7EscapeHandler* handler = escape ? escape_handler_ : nullptr;
  // A few short keys can ask for gigabytes of separators: count exactly
  // before writing whenever the text might pass the limit.
  if (most_bytes(records_, handler) > kMaxAssembledSize) {
    if (auto error = check_assembled_size(records_, handler)) return std::move(*error);
  }
  BufferOutput output(records_, handler);
  WritingOrder order;
  std::size_t largest = 0;
  for (const auto record : records_) largest = std::max(largest, record.size());
  order.reserve(largest);
  LineWriter line(output);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (auto error = order.read(records_[i])) return std::move(*error);
    if (i > 0) output.line_break();
    line.start(order.name());
    order.visit(line);
  }
  return output.release();
}

std::variant<std::string, Hl7Error> JsonHl7::convert(bool escape) const {
  auto text = assemble(escape);
  if (auto* error = std::get_if<Hl7Error>(&text)) return std::move(*error);
  return std::string(std::get<AssembledText>(text).text());
}

}  // namespace mirabex
