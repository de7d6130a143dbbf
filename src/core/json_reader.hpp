// Records from JSON text: an array of objects whose member values are
// strings, read in one pass from the events of a streaming JSON parser.
#pragma once

#include <string_view>
#include <variant>

#include "core/errors.hpp"
#include "core/json_hl7.hpp"

namespace mirabex {

// Nesting deeper than this fails with "recursion limit exceeded".
inline constexpr std::size_t kMaxJsonDepth = 128;

// The records, or InvalidFormat with "Invalid JSON: {what} at line {} column {}".
std::variant<RecordList, Hl7Error> records_from_json(std::string_view text);

}  // namespace mirabex
