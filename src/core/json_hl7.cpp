#include "core/json_hl7.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/escape_scanner.hpp"
#include "core/json_reader.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"
#include "core/writing_order.hpp"

namespace mirabex {

namespace {

// Writes the values of one segment line, given in writing order, each after
// the separators that lead to its position. The Output writes or counts.
template <class Output>
class LineWriter {
  // Where the line stands: the place of the last value, its component at
  // least 1, and the places that follow it with one separator: of its next
  // component (none when the last value filled its repetition), and of the
  // next field's first.
  struct Places {
    PositionCode at = 0;
    PositionCode next_component = 0;
    PositionCode next_field = 0;

    [[gnu::always_inline]] void stand_at(PositionCode place, bool whole) {
      at = place;
      next_component = whole ? kNoPosition : place + 1;
      next_field = (field_of(place) + 1) << (2 * kPositionPartBits) | 1;
    }
  };

 public:
  explicit LineWriter(Output& out) : out_(out) {}

  // The name comes first, escaped like any value so that it cannot inject
  // separators. Field 1 follows a separator only when a name precedes it.
  void start(std::optional<std::string_view> name) {
    header_ = name == "MSH";
    places_.stand_at(pack_position(name ? 0 : 1, 0, 1), false);
    if (name) out_.value(0, *name, false);
  }

  // A value at its position: values come in writing order.
  [[gnu::always_inline]] void put(PositionCode code, std::string_view value) {
    const PositionCode place = place_of(code);
    // Most values are the next component, or the first of the next field.
    if (place == places_.at + 1) {
      out_.separator(kComponentSeparator);
    } else if (place == places_.next_field) {
      out_.separator(kFieldSeparator);
    } else {
      move_to(place);
    }
    write(code, place, value);
  }

  // Writes the values that follow the last one at once, holding what they
  // change in members of its own: a loop that keeps a run as a local keeps
  // those in registers, where the members of the line and of its output
  // are read again after every byte written, as a byte may be any
  // object's. Nothing else writes to the line while a run is open; end()
  // hands its state back, and resume() takes it up again.
  class Run {
   public:
    explicit Run(LineWriter& line) : line_(line), out_(line.out_), header_(line.header_) {
      resume();
    }

    // A value that follows the last one at once: the next component of its
    // repetition, unless that one was written whole, or the first of the
    // next field. While components from 10 on are held for the end of the
    // repetition, only a next component below 10. False, having written
    // nothing, for any other.
    [[gnu::always_inline]] bool put_next(PositionCode code, std::string_view value,
                                         bool holding) {
      const PositionCode place = place_of(code);
      const bool next_component = place == places_.next_component;
      if (holding) {
        if (!next_component || (place & kPositionPartMask) >= 10) return false;
      } else if (!next_component && place != places_.next_field) {
        return false;
      }
      *text_at_++ = next_component ? kComponentSeparator : kFieldSeparator;
      places_.stand_at(place, fills_repetition(code));
      const std::uint64_t field = field_of(code);
      // The header's encoding characters are written as they are.
      text_at_ = out_.value_at(text_at_, value, header_ && field == 1);
      return true;
    }

    void end() {
      out_.set_at(text_at_);
      line_.places_ = places_;
    }

    void resume() {
      text_at_ = out_.at();
      places_ = line_.places_;
    }

   private:
    LineWriter& line_;
    Output& out_;
    const bool header_;
    char* text_at_;
    Places places_;
  };

 private:
  // The separators from where the line stands to a place after it.
  void move_to(PositionCode place) {
    out_.make_room_for_move();
    const Position to = position_of(place);
    const Position from = position_of(places_.at);
    std::uint64_t repetition = from.repetition;
    std::uint64_t component = from.component;
    if (to.field != from.field) {
      out_.separators(to.field - from.field, kFieldSeparator);
      repetition = 0;
      component = 1;
    }
    if (to.repetition != repetition) {
      out_.separators(to.repetition - repetition, kRepetitionSeparator);
      component = 1;
    }
    if (to.component > component) out_.separators(to.component - component, kComponentSeparator);
  }

  // Where the line stands: component 0 of a repetition is where its
  // component 1 is.
  static PositionCode place_of(PositionCode code) { return code | fills_repetition(code); }

  [[gnu::always_inline]] void write(PositionCode code, PositionCode place, std::string_view value) {
    places_.stand_at(place, fills_repetition(code));
    const std::uint64_t field = field_of(code);
    // The header's encoding characters are written as they are.
    out_.value(field, value, header_ && field == 1);
  }

  Output& out_;
  bool header_ = false;
  Places places_;
};

// Where a line writer puts its text: only counted, noting the field whose
// value first takes the count past the assembly's size limit.
class SizeCount {
 public:
  explicit SizeCount(const Hl7EscapeHandler* escape) : escape_(escape) {}

  void line_break() { ++size_; }
  void make_room_for_move() {}
  void separator(char) { ++size_; }
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

// Thrown by a limited output asked to grow past kMaxAssembledSize, or to
// write more separators in runs than its budget, and caught by the
// assembly, which then counts whether the text does pass the limit (the
// room asked for is a little more than the text takes).
struct PastSizeLimit {};

// The memory of the text: what the assembly has so far, grown as asked.
class TextBuffer {
 public:
  TextBuffer(TextMemory& memory, std::size_t capacity, bool limited)
      : memory_(memory),
        begin_(memory.resize(0, capacity)),
        capacity_(capacity),
        limited_(limited) {}

  char* begin() const { return begin_; }
  std::size_t capacity() const { return capacity_; }

  // Room for `bytes` after the first `used`, which are kept; returns the
  // new place of `used`.
  char* grow(std::size_t used, std::size_t bytes) {
    std::size_t doubled = 2 * capacity_;
    if (limited_) {
      if (used + bytes > kMaxAssembledSize) throw PastSizeLimit{};
      doubled = std::min<std::size_t>(doubled, kMaxAssembledSize);
    }
    const std::size_t grown = std::max(doubled, used + bytes);
    begin_ = memory_.resize(used, grown);
    capacity_ = grown;
    return begin_ + used;
  }

 private:
  TextMemory& memory_;
  char* begin_;
  std::size_t capacity_;
  bool limited_;
};

// Text memory of the assembly's own.
class BufferMemory final : public TextMemory {
 public:
  char* resize(std::size_t kept, std::size_t size) override {
    LargeBuffer resized(size);
    if (kept != 0) std::memcpy(resized.data(), buffer_.data(), kept);
    buffer_ = std::move(resized);
    return buffer_.data();
  }

  AssembledText release(std::size_t size) { return {std::move(buffer_), size}; }

 private:
  LargeBuffer buffer_;
};

// Where a line writer puts its text: raw memory, written without a check
// per value. Before each record the writer makes sure of room for its
// values, as written without escapes, each after one separator, plus
// kSlack bytes, as short values are copied in whole 16-byte words. A move
// over separators of more than one kind or more than one each, and a value
// that needs escaping, make room for what they write and for the record's
// room again.
class BufferOutput {
 public:
  static constexpr std::size_t kSlack = 16;
  // Of a limited output: the separators it writes in runs of more than one
  // before it refuses to write more.
  static constexpr std::uint64_t kSeparatorRunBudget = 16 << 20;
  static_assert(kSlack >= Hl7EscapeHandler::kEscapeIntoPadding);

  BufferOutput(const RecordList& records, const Hl7EscapeHandler* escape, TextMemory& memory,
               bool limited)
      : escape_(escape),
        scanner_(escape != nullptr ? *escape : default_escape_handler()),
        buffer_(memory, first_capacity(records), limited),
        at_(buffer_.begin()),
        end_(at_ + buffer_.capacity()),
        run_budget_(limited ? kSeparatorRunBudget : UINT64_MAX) {}

  std::size_t used() const { return static_cast<std::size_t>(at_ - buffer_.begin()); }
  // Drops what was written after the first `used` bytes.
  void rewind(std::size_t used) { at_ = buffer_.begin() + used; }

  void line_break() {
    reserve(1);
    *at_++ = '\n';
  }

  // Room for a record of `pairs` pairs whose values take `value_bytes`.
  void begin_record(std::size_t value_bytes, std::size_t pairs) {
    room_ = value_bytes + pairs + kSlack;
    reserve(room_);
  }

  // Room for a separator of each kind, before a move writes them.
  void make_room_for_move() { reserve(3 + room_); }

  void separator(char separator) { *at_++ = separator; }

  void separators(std::uint64_t count, char separator) {
    if (count == 1) [[likely]] {
      *at_++ = separator;
      return;
    }
    // Runs like these are how a few keys ask for gigabytes: past a budget
    // the text is counted before any more is written.
    if (count > run_budget_) throw PastSizeLimit{};
    run_budget_ -= count;
    reserve(count + room_);
    std::memset(at_, separator, static_cast<std::size_t>(count));
    at_ += count;
  }

  [[gnu::always_inline]] void value(std::uint64_t, std::string_view text, bool as_is) {
    at_ = value_at(at_, text, as_is);
  }

  // Where the text stands, for a writer that holds it meanwhile (a
  // LineWriter::Run), and hands it back before anything else is written.
  char* at() const { return at_; }
  void set_at(char* at) { at_ = at; }

  // Writes a value at `at`, where the text stands, and returns where it
  // then stands.
  [[gnu::always_inline]] char* value_at(char* at, std::string_view text, bool as_is) {
    if (text.empty()) return at;  // many are: one branch for them
    if (escape_ == nullptr || as_is) {
      copy_ahead(at, text);
      return at + text.size();
    }
    // Most values need no escaping: the copy stands. One that does is
    // written again from its first byte that needs it.
    std::size_t first;
    if (text.size() <= kSlack) {
      first = scanner_.copy_short_and_find(text, at);
    } else {
      std::memcpy(at, text.data(), text.size());
      first = scanner_.first_candidate(text);
    }
    if (first == text.size()) [[likely]] return at + first;
    return escape_from(at + first, text, first);
  }

 private:
  // Room for the values once, and about one separator each.
  static std::size_t first_capacity(const RecordList& records) {
    return records.value_bytes() + 2 * records.pair_count() + records.size() + kSlack;
  }

  [[gnu::always_inline]] void reserve(std::uint64_t bytes) {
    if (bytes > static_cast<std::uint64_t>(end_ - at_)) [[unlikely]] grow(bytes);
  }

  // Escapes a value from its byte `first` on, the bytes before it written
  // up to `at`.
  [[gnu::noinline]] char* escape_from(char* at, std::string_view text, std::size_t first) {
    at_ = at;
    reserve(escape_->longest_escape() * (text.size() - first) + room_);
    at_ = escape_->escape_into(text, first, at_);
    return at_;
  }

  [[gnu::noinline]] void grow(std::uint64_t bytes) {
    at_ = buffer_.grow(used(), static_cast<std::size_t>(bytes));
    end_ = buffer_.begin() + buffer_.capacity();
  }

  // Values, never empty here, live in a record list's arena, followed by
  // its read padding.
  static void copy_ahead(char* at, std::string_view text) {
    static_assert(TextArena::kReadPadding >= kSlack - 1);
    if (text.size() <= kSlack) {
      std::memcpy(at, text.data(), kSlack);
    } else {
      std::memcpy(at, text.data(), text.size());
    }
  }

  const Hl7EscapeHandler* escape_;
  EscapeScanner scanner_;
  TextBuffer buffer_;
  char* at_;
  char* end_;
  std::uint64_t room_ = kSlack;  // asked for the record: what it may still write
  std::uint64_t run_budget_;  // separators left to write in runs
};

// The most bytes of the text but its separators: every value at its
// longest escaped, and a line feed for each record.
std::uint64_t most_bytes_of_values(const RecordList& records, const Hl7EscapeHandler* escape) {
  const std::uint64_t longest_escape = escape != nullptr ? escape->longest_escape() : 1;
  return records.size() + longest_escape * records.value_bytes();
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
  BufferMemory memory;
  auto size = assemble_into(escape, memory);
  if (auto* error = std::get_if<Hl7Error>(&size)) return std::move(*error);
  return memory.release(std::get<std::size_t>(size));
}

std::variant<std::size_t, Hl7Error> JsonHl7::assemble_into(bool escape, TextMemory& memory) const {
  const Hl7EscapeHandler* handler = escape ? escape_handler_ : nullptr;
  // A few short keys can ask for gigabytes of separators: the text is
  // counted exactly when it might pass the limit, and written afresh if it
  // does not. Values that might pass it alone are counted before any
  // memory is taken for them.
  if (most_bytes_of_values(records_, handler) <= kMaxAssembledSize) {
    try {
      auto size = write_text(handler, memory, true);
      const std::size_t* written = std::get_if<std::size_t>(&size);
      if (written == nullptr || *written <= kMaxAssembledSize) return size;
    } catch (const PastSizeLimit&) {
    }
  }
  if (auto error = check_assembled_size(records_, handler)) return std::move(*error);
  return write_text(handler, memory, false);
}

std::variant<std::size_t, Hl7Error> JsonHl7::write_text(const Hl7EscapeHandler* handler,
                                                        TextMemory& memory, bool limited) const {
  BufferOutput output(records_, handler, memory, limited);
  WritingOrder order;
  LineWriter line(output);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (i > 0) output.line_break();
    const std::size_t line_start = output.used();
    const std::span<const TextPair> record = records_[i];
    output.begin_record(records_.value_bytes(i), record.size());
    line.start(WritingOrder::name_of(record));
    if (order.put_in_key_order(record, line)) continue;
    output.rewind(line_start);
    if (auto error = order.read(record)) return std::move(*error);
    line.start(order.name());
    order.visit(line);
  }
  return output.used();
}

std::variant<std::string, Hl7Error> JsonHl7::convert(bool escape) const {
  auto text = assemble(escape);
  if (auto* error = std::get_if<Hl7Error>(&text)) return std::move(*error);
  return std::string(std::get<AssembledText>(text).text());
}

}  // namespace mirabex
