// Helpers shared by the core tests: readable descriptions of parse results
// and access to the sample messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/segments.hpp"

namespace mirabex::testing_support {

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

struct SampleMessage {
  std::string name;
  std::string text;
};

std::vector<SampleMessage> sample_messages();

}  // namespace mirabex::testing_support
