// Hl7Segment and Hl7Field: one HL7 v2 segment line parsed into its name and
// its fields, each field split one level further into repetitions (whose
// elements may hold components) or into components. And the mapping of a
// segment to a record keyed by position ('3', '5.2', '11[0].1', ...).
//
// Parsed texts are views: into the line (texts that needed no unescaping)
// or into the segment's own buffer (unescaped texts). The line must outlive
// the segment; the segment's buffer moves with it.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/append_array.hpp"
#include "core/escape.hpp"
#include "core/line_scanner.hpp"
#include "core/position.hpp"

namespace mirabex {

class LineScanner;
struct BlockMarks;

// The fixed delimiters of HL7 text as this system reads and writes it.
inline constexpr char kFieldSeparator = '|';
inline constexpr char kComponentSeparator = '^';
inline constexpr char kRepetitionSeparator = '~';
inline constexpr char kEscapeCharacter = '\\';
inline constexpr char kSubcomponentSeparator = '&';
// A field holding these four characters (the header's encoding characters)
// is never split into repetitions, nor, without escaping, into components.
inline constexpr std::string_view kEncodingCharacters = "^~\\&";

// One field of a segment, or one repetition of a field. Its components and
// repetitions are stored in the segment: read them through the segment.
struct Hl7Field {
  std::string_view value;
  std::size_t first_component = 0;
  std::size_t component_count = 0;  // 0 or 1: not split into components
  std::size_t first_repetition = 0;
  std::size_t repetition_count = 0;  // 0: not split into repetitions

  bool has_components() const { return component_count > 1; }
  bool has_repetitions() const { return repetition_count != 0; }
};

class Hl7Segment {
 public:
  // A segment takes the arrays the last one destroyed on this thread left,
  // and leaves its own: a segment made per message grows them once per
  // thread, not on every message.
  Hl7Segment();
  ~Hl7Segment();
  Hl7Segment(Hl7Segment&&) = default;
  Hl7Segment& operator=(Hl7Segment&&) = default;

  // Parses one line, in escaping mode when a handler is given, in plain
  // mode otherwise. Never fails: every text is a segment.
  static Hl7Segment from_string(std::string_view line, const Hl7EscapeHandler* handler);
  // The same, reusing this segment's storage.
  void parse(std::string_view line, const Hl7EscapeHandler* handler);
  // The segment holds views into its line: a temporary line would dangle.
  template <class Text>
  requires std::same_as<Text, std::string>
  static Hl7Segment from_string(Text&&, const Hl7EscapeHandler*) = delete;
  template <class Text>
  requires std::same_as<Text, std::string>
  void parse(Text&&, const Hl7EscapeHandler*) = delete;

  std::string_view name() const { return name_; }
  // fields()[k - 1] holds position k; every position from 1 to the number
  // of field separators in the line is present.
  std::span<const Hl7Field> fields() const { return fields_; }
  const Hl7Field* field(std::size_t position) const {
    return position >= 1 && position <= fields_.size() ? &fields_[position - 1] : nullptr;
  }
  // Empty for a field or element not split into components.
  std::span<const std::string_view> components(const Hl7Field& field) const {
    if (!field.has_components()) return {};
    return std::span<const std::string_view>(components_)
        .subspan(field.first_component, field.component_count);
  }
  std::span<const Hl7Field> repetitions(const Hl7Field& field) const {
    return std::span<const Hl7Field>(repetitions_)
        .subspan(field.first_repetition, field.repetition_count);
  }
  // True when the line is ASCII, and with it every text cut from it.
  bool line_is_ascii() const { return line_is_ascii_; }

 private:
  // Where the field being cut stands: indexes into the line and into the
  // segment's components and repetitions.
  struct OpenField {
    std::size_t start = 0;
    std::size_t element_start = 0;  // of its open repetition, or of the field
    std::size_t piece_start = 0;    // of the open element's last component
    std::size_t first_component_of_field = 0;
    std::size_t first_component = 0;  // of the open element
    std::size_t first_repetition = 0;
    bool repeated = false;    // a repetition separator was met
    bool has_escape = false;  // an escape character was met
  };
  // Cuts the fields after the first field separator in one look at the
  // line's bytes; a field that holds an escape and must be unescaped, or
  // that may hold the encoding characters, is parsed on its own by
  // parse_field. name_non_ascii: whether the bytes before the separator
  // hold one past ASCII.
  void cut_fields(std::string_view line, std::size_t first_bar, bool name_non_ascii,
                  const LineScanner& scanner, const Hl7EscapeHandler* handler);
  // Cuts the name, then the fields.
  void cut_line(std::string_view line, const LineScanner& scanner, const Hl7EscapeHandler* handler);
  // Cuts a block mark by mark; returns where the next block starts (past
  // a field handed over whole, which may end blocks later).
  std::size_t cut_block(std::string_view line, std::size_t block_start, const BlockMarks& marks,
                        OpenField& open, const Hl7EscapeHandler* handler);
  // Cuts the block's pieces (every cut ends one, kept as a component);
  // piece_after[bit] tells how many of them end at or before the bit.
  // Returns the index of the block's first piece.
  [[gnu::always_inline]] inline std::size_t cut_pieces(std::string_view line,
                                                       std::size_t block_start, std::uint32_t cuts,
                                                       OpenField& open, std::uint8_t* piece_after);
  // Cuts a block holding no repetition separator nor escape character, in
  // a field holding neither so far.
  [[gnu::always_inline]] inline void cut_plain_block(std::string_view line, std::size_t block_start,
                                                     std::uint32_t cuts, std::uint32_t field_marks,
                                                     OpenField& open);
  // Cuts a block holding no escape character, in a field holding none so
  // far, where repetitions end elements.
  void cut_repeated_block(std::string_view line, std::size_t block_start, std::uint32_t cuts,
                          std::uint32_t field_marks, std::uint32_t repetition_marks,
                          OpenField& open_field);
  OpenField open_field_at(std::size_t start) const;
  void end_element(Hl7Field& element, std::string_view line, const OpenField& open,
                   std::size_t end);
  void end_repetition(std::string_view line, OpenField& open, std::size_t end);
  // Inlined where fields end, which most take through its first branch;
  // left to the compiler, it became a call and the records 5-10% slower.
  [[gnu::always_inline]] inline void end_field(std::string_view line, const OpenField& open,
                                               std::size_t end, const Hl7EscapeHandler* handler);
  // Ends a field that holds repetitions, or an escape character that
  // matters.
  [[gnu::noinline]] void end_unusual_field(std::string_view line, const OpenField& open,
                                           std::size_t end, const Hl7EscapeHandler* handler);
  void make_unescaped_room(std::size_t line_size);
  // Lines at least this long have their arrays sized before they are cut.
  static constexpr std::size_t kLongLine = 64 * 1024;
  void make_room_for(std::string_view line, const LineScanner& scanner);
  // Without the one-look parse: for delimiters it cannot tell apart.
  void parse_any_line(std::string_view line, const Hl7EscapeHandler* handler);
  Hl7Field parse_field(std::string_view text, const Hl7EscapeHandler* handler);
  Hl7Field parse_element(std::string_view text, const Hl7EscapeHandler* handler);
  // Cuts text at separator, whose first place is known.
  void split_components(Hl7Field& field, std::string_view text, std::size_t first_cut,
                        char separator);
  std::string_view unescaped(std::string_view text, const Hl7EscapeHandler& handler);

  std::string_view name_;
  AppendArray<Hl7Field> fields_;
  AppendArray<Hl7Field> repetitions_;
  AppendArray<std::string_view> components_;
  // Whether parse_field need look for repetitions and escapes in a field:
  // looked up once per line by parse_any_line; always on for the fields
  // that cut_fields hands over, which it has seen hold one.
  bool line_has_repetitions_ = false;
  bool line_has_escapes_ = false;
  bool line_is_ascii_ = true;
  // Unescaped texts, written one after another. Sized to the line, which
  // bounds them all since unescaping never lengthens a text.
  std::unique_ptr<char[]> unescaped_;
  std::size_t unescaped_capacity_ = 0;
  std::size_t unescaped_size_ = 0;
};

// A record: key texts to value texts, in ascending byte order of the keys.
using Record = std::vector<std::pair<std::string, std::string>>;

// The record of a segment: its position keys in byte order, then
// "segment_name", which every record holds and which sorts last.
Record to_json(const Hl7Segment& segment);

// The number of entries of the segment's record, "segment_name" included,
// counted without making them.
std::size_t record_entry_count(const Hl7Segment& segment);

namespace detail {

// Calls emit(n) for n = lowest..highest (lowest is 0 or 1) in the byte order
// of the decimal texts of n, each followed by a suffix: one that sorts below
// the digits ("" or ".") when self_after_digits(n) is false, one that sorts
// above them ("[" or "]") when it is true. This is a walk of the decimal
// trie; no text is built and nothing is compared.
template <class SelfAfterDigits, class Emit>
void visit_in_key_order(std::size_t n, std::size_t highest, SelfAfterDigits& self_after_digits,
                        Emit& emit) {
  const bool after = self_after_digits(n);
  if (!after) emit(n);
  if (n != 0 && n <= highest / 10) {
    for (std::size_t digit = 0; digit <= 9; ++digit) {
      const std::size_t child = n * 10 + digit;
      if (child > highest) break;
      visit_in_key_order(child, highest, self_after_digits, emit);
    }
  }
  if (after) emit(n);
}

template <class SelfAfterDigits, class Emit>
void for_each_in_key_order(std::size_t lowest, std::size_t highest,
                           SelfAfterDigits&& self_after_digits, Emit&& emit) {
  if (highest <= 9) {  // one digit each: byte order is numeric order
    for (std::size_t n = lowest; n <= highest; ++n) emit(n);
    return;
  }
  if (highest <= 99) {  // the usual segment: each digit, then its two-digit numbers
    for (std::size_t root = lowest; root <= 9; ++root) {
      const bool after = self_after_digits(root);
      if (!after) emit(root);
      const std::size_t last_child = std::min(root * 10 + 9, highest);
      for (std::size_t child = root * 10; root != 0 && child <= last_child; ++child) emit(child);
      if (after) emit(root);
    }
    return;
  }
  for (std::size_t root = lowest; root <= 9 && root <= highest; ++root) {
    visit_in_key_order(root, highest, self_after_digits, emit);
  }
}

// The numbers 1..n of a segment's fields (n below 100) in the byte order of
// their keys when no field repeats: each digit, then its two-digit numbers.
// A field that repeats ("k[") sorts after its two-digit numbers instead.
struct FieldKeyOrders {
  std::uint8_t numbers[100][99] = {};
  std::uint8_t digit_at[100][10] = {};  // where each digit stands in its row

  constexpr FieldKeyOrders() {
    for (std::size_t n = 1; n <= 99; ++n) {
      std::size_t count = 0;
      for (std::size_t digit = 1; digit <= 9 && digit <= n; ++digit) {
        digit_at[n][digit] = static_cast<std::uint8_t>(count);
        numbers[n][count++] = static_cast<std::uint8_t>(digit);
        for (std::size_t child = digit * 10; child <= digit * 10 + 9 && child <= n; ++child) {
          numbers[n][count++] = static_cast<std::uint8_t>(child);
        }
      }
    }
  }
};
inline constexpr FieldKeyOrders kFieldKeyOrders;

// The numbers of n fields (n below 100) in key order: a row of the table,
// or, when a digit's field repeats and has two-digit numbers after it, the
// row copied to order and each such digit moved after its numbers.
template <class Repeats>
const std::uint8_t* field_key_order(std::size_t n, Repeats& repeats, std::uint8_t* order) {
  const std::uint8_t* const row = kFieldKeyOrders.numbers[n];
  bool copied = false;
  for (std::size_t digit = 1; digit * 10 <= n; ++digit) {
    if (!repeats(digit)) continue;
    if (!copied) {
      std::memcpy(order, row, n);
      copied = true;
    }
    const std::size_t at = kFieldKeyOrders.digit_at[n][digit];
    const std::size_t children = std::min<std::size_t>(n - digit * 10 + 1, 10);
    std::memmove(order + at, order + at + 1, children);
    order[at + children] = static_cast<std::uint8_t>(digit);
  }
  return copied ? order : row;
}

template <class Visit>
[[gnu::noinline]] void visit_many_components(std::span<const std::string_view> components,
                                             std::size_t field, std::size_t repetition,
                                             Visit& visit) {
  // Components come before their two-digit numbers, as fields that do not
  // repeat: the fields' table holds their order.
  if (components.size() <= 99) {
    const std::uint8_t* const order = kFieldKeyOrders.numbers[components.size()];
    for (std::size_t i = 0; i < components.size(); ++i) {
      visit(Position{field, repetition, order[i]}, components[order[i] - 1]);
    }
    return;
  }
  for_each_in_key_order(
      1, components.size(), [](std::size_t) { return false; },
      [&](std::size_t c) {
        visit(Position{field, repetition, c}, components[c - 1]);
      });
}

template <class Visit>
[[gnu::always_inline]] inline void visit_components(const Hl7Segment& segment,
                                                    const Hl7Field& holder, std::size_t field,
                                                    std::size_t repetition, Visit& visit) {
  const auto components = segment.components(holder);
  if (components.size() > 9) {
    visit_many_components(components, field, repetition, visit);
    return;
  }
  // One digit each: byte order is numeric order.
  for (std::size_t c = 1; c <= components.size(); ++c) {
    visit(Position{field, repetition, c}, components[c - 1]);
  }
}

// Out of the usual field's way: inlined, it made every field's visit a call
// with a large frame.
template <class Visit>
[[gnu::noinline]] void visit_repetitions(const Hl7Segment& segment, const Hl7Field& field,
                                         std::size_t k, Visit& visit) {
  const auto repetitions = segment.repetitions(field);
  // "r]" sorts after "r0".."r9".
  for_each_in_key_order(
      0, repetitions.size() - 1, [](std::size_t) { return true; },
      [&](std::size_t r) {
        const Hl7Field& element = repetitions[r];
        if (element.has_components()) {
          visit_components(segment, element, k, r, visit);
        } else {
          visit(Position{k, r, 0}, element.value);
        }
      });
}

}  // namespace detail

// Calls visit(Position, std::string_view value) for every position key
// of the segment's record, in ascending byte order of the key texts.
template <class Visit>
void for_each_record_entry(const Hl7Segment& segment, Visit&& visit) {
  const auto fields = segment.fields();
  if (fields.empty()) return;
  const auto visit_field = [&](std::size_t k) __attribute__((always_inline)) {
    const Hl7Field& field = fields[k - 1];
    if (field.has_repetitions()) {
      detail::visit_repetitions(segment, field, k, visit);
    } else if (field.has_components()) {
      detail::visit_components(segment, field, k, Position::kNone, visit);
    } else {
      visit(Position{k, Position::kNone, 0}, field.value);
    }
  };
  // "k[" sorts after "k0".."k9", "k" and "k." before them.
  const auto field_after_digits = [&](std::size_t k) { return fields[k - 1].has_repetitions(); };
  if (fields.size() > 99) {
    detail::for_each_in_key_order(1, fields.size(), field_after_digits, visit_field);
    return;
  }
  // The order first, then one loop: the field's visit is inlined once.
  std::uint8_t copied_order[99];
  const std::uint8_t* const order =
      detail::field_key_order(fields.size(), field_after_digits, copied_order);
  for (std::size_t i = 0; i < fields.size(); ++i) visit_field(order[i]);
}

}  // namespace mirabex
