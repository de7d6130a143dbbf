// Segments described as text, and the same description reached by plain
// splitting, with none of the parser's shortcuts: the reference the parser
// is checked against. Shared by the parser's tests and the records' fuzz
// target.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/escape.hpp"
#include "core/segments.hpp"

namespace mirabex::segment_reference {

// "NAME | f1 | f2{c1,c2} | f3[e1;e2{c1,c2}]": each field's value, then its
// components in braces or its repetitions in brackets.
inline std::string describe_field(const Hl7Segment& segment, const Hl7Field& field) {
  std::string out(field.value);
  if (field.has_components()) {
    out += '{';
    bool first = true;
    for (std::string_view component : segment.components(field)) {
      if (!first) out += ',';
      out += component;
      first = false;
    }
    out += '}';
  }
  if (field.has_repetitions()) {
    out += '[';
    bool first = true;
    for (const Hl7Field& element : segment.repetitions(field)) {
      if (!first) out += ';';
      out += describe_field(segment, element);
      first = false;
    }
    out += ']';
  }
  return out;
}

inline std::string describe(const Hl7Segment& segment) {
  std::string out(segment.name());
  for (const Hl7Field& field : segment.fields()) out += " | " + describe_field(segment, field);
  return out;
}

inline std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t cut; (cut = text.find(separator)) != std::string_view::npos;) {
    pieces.push_back(text.substr(0, cut));
    text.remove_prefix(cut + 1);
  }
  pieces.push_back(text);
  return pieces;
}

// A field or repetition: unescaped when escaping, then cut at the component
// separator.
inline std::string describe_element(std::string_view text, const Hl7EscapeHandler* handler) {
  const std::string value = handler != nullptr ? handler->unescape(text) : std::string(text);
  const char separator = handler != nullptr ? handler->component_separator() : kComponentSeparator;
  const auto pieces = split(value, separator);
  if (pieces.size() == 1) return value;
  std::string out = value + '{';
  for (std::size_t i = 0; i < pieces.size(); ++i) out.append(i > 0 ? "," : "").append(pieces[i]);
  return out + '}';
}

// A field holding the encoding characters is never cut into repetitions,
// and without escaping not into components either.
inline std::string describe_by_splitting(std::string_view line, const Hl7EscapeHandler* handler) {
  const char repetition =
      handler != nullptr ? handler->repetition_separator() : kRepetitionSeparator;
  const auto fields = split(line, kFieldSeparator);
  std::string out(fields[0]);
  for (std::size_t k = 1; k < fields.size(); ++k) {
    const std::string_view text = fields[k];
    const bool encoding = text.find(kEncodingCharacters) != std::string_view::npos;
    out += " | ";
    if (text.find(repetition) != std::string_view::npos && !encoding) {
      out.append(text) += '[';
      const auto elements = split(text, repetition);
      for (std::size_t r = 0; r < elements.size(); ++r) {
        out.append(r > 0 ? ";" : "").append(describe_element(elements[r], handler));
      }
      out += ']';
    } else if (handler == nullptr && encoding) {
      out += text;
    } else {
      out += describe_element(text, handler);
    }
  }
  return out;
}

}  // namespace mirabex::segment_reference
