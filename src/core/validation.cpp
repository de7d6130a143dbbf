#include "core/validation.hpp"

#include <algorithm>
#include <string>

#include "core/utils.hpp"

namespace mirabex {

namespace {

using namespace error_kind;

// The header stores MSH-n at position n - 1: the first field separator is
// MSH-1 and has no position of its own.
constexpr std::size_t kEncodingCharactersPosition = 1;  // MSH-2
constexpr std::size_t kMessageTypePosition = 8;         // MSH-9
constexpr std::size_t kVersionPosition = 11;            // MSH-12

std::string supported_versions_text() {
  std::string text;
  for (const std::string_view version : kSupportedVersions) {
    if (!text.empty()) text += ", ";
    text += version;
  }
  return text;
}

bool is_supported_version(std::string_view version) {
  return std::ranges::find(kSupportedVersions, version) != std::end(kSupportedVersions);
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_ascii_letter_or_digit(char c) { return is_ascii_letter(c) || (c >= '0' && c <= '9'); }

// HL7 v2 segment IDs: a letter, then two letters or digits (PV1, ZX1, Z01).
bool is_valid_segment_name(std::string_view name) {
  return name.size() == 3 && is_ascii_letter(name[0]) && is_ascii_letter_or_digit(name[1]) &&
         is_ascii_letter_or_digit(name[2]);
}

std::size_t count_parts(std::string_view text, char separator) {
  return static_cast<std::size_t>(std::ranges::count(text, separator)) + 1;
}

std::optional<Hl7Error> check_header(const Hl7Validator& validator, const Hl7Segment& header) {
  if (header.name() != "MSH") return MissingRequiredSegment{"MSH (Message Header)"};
  // Enough fields that every position read below is present.
  if (header.fields().size() < kVersionPosition) {
    return ValidationFailed{"MSH segment must have at least 12 fields"};
  }
  const std::string_view encoding_characters = header.field(kEncodingCharactersPosition)->value;
  if (encoding_characters.size() != 4) {
    return InvalidFieldSeparators{std::string(encoding_characters)};
  }
  const std::string_view version = header.field(kVersionPosition)->value;
  if (validator.strict_mode && !is_supported_version(version)) {
    return UnsupportedVersion{std::string(version), supported_versions_text()};
  }
  return validate_message_type(validator.strict_mode, header);
}

std::optional<Hl7Error> check_segment_name(std::string_view name, std::size_t number) {
  if (name.empty()) {
    return ValidationFailed{"Segment " + std::to_string(number) + " has empty segment name"};
  }
  if (!is_valid_segment_name(name)) return InvalidSegmentName{std::string(name)};
  return std::nullopt;
}

std::optional<Hl7Error> check_segment(const Hl7Segment& segment, std::size_t number) {
  if (auto error = check_segment_name(segment.name(), number)) return error;
  for (const Hl7Field& field : segment.fields()) {
    if (field.value.size() > kMaxValueLength)
      return FieldTooLong{field.value.size(), kMaxValueLength};
    for (const std::string_view component : segment.components(field)) {
      if (component.size() > kMaxValueLength) {
        return ComponentTooLong{component.size(), kMaxValueLength};
      }
    }
  }
  return std::nullopt;
}

std::optional<Hl7Error> missing_pid() {
  return MissingRequiredSegment{"PID (Patient Identification)"};
}

// The name a line's segment will have, without parsing the line.
std::string_view segment_name_of(std::string_view line) {
  return line.substr(0, line.find(kFieldSeparator));
}

// The same checks on an unparsed line. Without escaping a component is
// part of its field's text, so no component can be longer than a field
// that passed: checking the fields' lengths is enough, and no field needs
// to be stored.
std::optional<Hl7Error> check_segment_line(std::string_view line, std::size_t number) {
  const std::size_t first_bar = line.find(kFieldSeparator);
  if (auto error = check_segment_name(line.substr(0, first_bar), number)) return error;
  if (first_bar == std::string_view::npos) return std::nullopt;
  // Every field is part of the text after the name: when that text is
  // within the limit (as on nearly every line), so is each field.
  if (line.size() - first_bar - 1 <= kMaxValueLength) return std::nullopt;
  std::size_t start = first_bar + 1;
  for (;;) {
    const std::size_t end = std::min(line.find(kFieldSeparator, start), line.size());
    if (end - start > kMaxValueLength) return FieldTooLong{end - start, kMaxValueLength};
    if (end == line.size()) return std::nullopt;
    start = end + 1;
  }
}

// The header line up to the end of the version field: all the header checks
// read, however many fields follow.
std::string_view header_fields(std::string_view line) {
  std::size_t bar = 0;
  for (std::size_t fields = 0; fields <= kVersionPosition; ++fields) {
    bar = line.find(kFieldSeparator, fields == 0 ? 0 : bar + 1);
    if (bar == std::string_view::npos) return line;
  }
  return line.substr(0, bar);
}

// The lines of a message text that are segments for validation.
std::string_view segment_lines(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<Hl7Error> validate_message_type(bool strict_mode, const Hl7Segment& header) {
  const Hl7Field* message_type = header.field(kMessageTypePosition);
  if (message_type == nullptr) return ValidationFailed{"Message type (field 8) is required"};
  if (strict_mode && count_parts(message_type->value, '^') < 3) {
    return ValidationFailed{
        "Message type (field 8) must have at least 3 components: event^structure^version"};
  }
  return std::nullopt;
}

std::optional<Hl7Error> Hl7Validator::validate_message(std::span<const Hl7Segment> segments) const {
  if (segments.empty()) return ValidationError{"Message contains no segments"};
  if (auto error = check_header(*this, segments.front())) return error;
  if (validate_required_fields &&
      std::ranges::none_of(segments, [](const Hl7Segment& s) { return s.name() == "PID"; })) {
    return missing_pid();
  }
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (auto error = check_segment(segments[i], i + 1)) return error;
  }
  return std::nullopt;
}

// Streams over the lines instead of holding every parsed segment: the same
// checks in the same order, with no segment but the header's first fields
// in memory.
std::optional<Hl7Error> Hl7Validator::validate_message_text(std::string_view text) const {
  const Lines lines(segment_lines(text));
  const Hl7Segment header = Hl7Segment::from_string(header_fields(*lines.begin()), nullptr);
  if (auto error = check_header(*this, header)) return error;
  if (validate_required_fields && std::ranges::none_of(lines, [](std::string_view line) {
        return segment_name_of(line) == "PID";
      })) {
    return missing_pid();
  }
  std::size_t number = 0;
  for (const std::string_view line : lines) {
    if (auto error = check_segment_line(line, ++number)) return error;
  }
  return std::nullopt;
}

}  // namespace mirabex
