#include "core/segments.hpp"

#include <cstring>

namespace mirabex {

namespace {

bool contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

bool holds_encoding_characters(std::string_view text) {
  return text.find(kEncodingCharacters) != std::string_view::npos;
}

// Calls piece(text) for every piece of text cut at separator; n separators
// give n + 1 pieces, empty ones included.
template <class Piece>
void for_each_piece(std::string_view text, char separator, Piece&& piece) {
  for (;;) {
    const std::size_t cut = text.find(separator);
    if (cut == std::string_view::npos) break;
    piece(text.substr(0, cut));
    text.remove_prefix(cut + 1);
  }
  piece(text);
}

}  // namespace

Hl7Segment Hl7Segment::from_string(std::string_view line, const Hl7EscapeHandler* handler) {
  Hl7Segment segment;
  segment.parse(line, handler);
  return segment;
}

void Hl7Segment::parse(std::string_view line, const Hl7EscapeHandler* handler) {
  fields_.clear();
  repetitions_.clear();
  components_.clear();
  unescaped_size_ = 0;
  line_has_escapes_ = handler != nullptr && handler->has_escape(line);
  if (line_has_escapes_ && unescaped_capacity_ < line.size()) {
    unescaped_ = std::make_unique<char[]>(line.size());
    unescaped_capacity_ = line.size();
  }
  line_has_repetitions_ =
      contains(line, handler != nullptr ? handler->repetition_separator() : kRepetitionSeparator);
  const std::size_t first_bar = line.find(kFieldSeparator);
  name_ = line.substr(0, first_bar);
  if (first_bar == std::string_view::npos) return;
  for_each_piece(line.substr(first_bar + 1), kFieldSeparator,
                 [&](std::string_view text) { fields_.push_back(parse_field(text, handler)); });
}

std::string_view Hl7Segment::unescaped(std::string_view text, const Hl7EscapeHandler& handler) {
  if (!line_has_escapes_ || !handler.has_escape(text)) return text;
  char* const out = unescaped_.get() + unescaped_size_;
  const std::size_t length = handler.unescape_into(text, out);
  unescaped_size_ += length;
  return {out, length};
}

void Hl7Segment::split_components(Hl7Field& field, std::string_view text, std::size_t first_cut,
                                  char separator) {
  field.first_component = components_.size();
  components_.push_back(text.substr(0, first_cut));
  for_each_piece(text.substr(first_cut + 1), separator,
                 [&](std::string_view piece) { components_.push_back(piece); });
  field.component_count = components_.size() - field.first_component;
}

Hl7Field Hl7Segment::parse_field(std::string_view text, const Hl7EscapeHandler* handler) {
  const char repetition_separator =
      handler != nullptr ? handler->repetition_separator() : kRepetitionSeparator;
  if (line_has_repetitions_ && contains(text, repetition_separator) &&
      !holds_encoding_characters(text)) {
    Hl7Field field{.value = text};
    field.first_repetition = repetitions_.size();
    for_each_piece(text, repetition_separator, [&](std::string_view piece) {
      repetitions_.push_back(parse_element(piece, handler));
    });
    field.repetition_count = repetitions_.size() - field.first_repetition;
    return field;
  }
  // Without escaping the encoding characters keep a field whole; with
  // escaping the component split looks at the unescaped text alone.
  if (handler == nullptr && line_has_repetitions_ && holds_encoding_characters(text)) {
    return Hl7Field{.value = text};
  }
  return parse_element(text, handler);
}

Hl7Field Hl7Segment::parse_element(std::string_view text, const Hl7EscapeHandler* handler) {
  Hl7Field element;
  element.value = handler == nullptr ? text : unescaped(text, *handler);
  const char separator = handler == nullptr ? kComponentSeparator : handler->component_separator();
  if (const std::size_t cut = element.value.find(separator); cut != std::string_view::npos) {
    split_components(element, element.value, cut, separator);
  }
  return element;
}

std::size_t record_entry_count(const Hl7Segment& segment) {
  // A field or element not split into components still has one entry.
  const auto entries_of = [](const Hl7Field& element) {
    return element.has_components() ? element.component_count : 1;
  };
  std::size_t count = 1;  // "segment_name"
  for (const Hl7Field& field : segment.fields()) {
    if (!field.has_repetitions()) {
      count += entries_of(field);
      continue;
    }
    for (const Hl7Field& element : segment.repetitions(field)) count += entries_of(element);
  }
  return count;
}

Record to_json(const Hl7Segment& segment) {
  Record record;
  for_each_record_entry(segment, [&](const Position& key, std::string_view value) {
    record.emplace_back(key.text(), value);
  });
  record.emplace_back(kSegmentNameKey, segment.name());
  return record;
}

}  // namespace mirabex
