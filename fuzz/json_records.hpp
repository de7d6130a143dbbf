// Records two ways, for checking the JSON writer: as the core gives them to
// Hl7Json, and as a JSON text holds them. Shared by the writer's fuzz
// target and its tests.
#pragma once

#include <boost/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hl7_json.hpp"
#include "core/segments.hpp"

namespace mirabex::json_records {

inline std::vector<Record> expected_records(const std::string& text, bool escaping) {
  const Hl7Json message(text, false, false, escaping);
  std::vector<Record> records;
  for (const std::string_view line : message.lines()) {
    records.push_back(to_json(Hl7Segment::from_string(line, message.conversion_handler())));
  }
  return records;
}

// None when the text is not JSON; a JSON value of another shape throws.
inline std::optional<std::vector<Record>> parsed_records(std::string_view json) {
  boost::json::error_code error;
  const boost::json::value parsed = boost::json::parse(json, error);
  if (error) return std::nullopt;
  std::vector<Record> records;
  for (const boost::json::value& item : parsed.as_array()) {
    Record record;
    for (const auto& member : item.as_object()) {
      record.emplace_back(member.key(), member.value().as_string());
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace mirabex::json_records
