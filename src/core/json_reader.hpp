// Records from JSON text: an array of objects whose member values are
// strings, read in one pass from the events of a streaming JSON parser.
// Nesting deeper than a record's members fails at its first value, as a
// value of the wrong kind.
#pragma once

#include <string_view>
#include <variant>

#include "core/errors.hpp"
#include "core/record_list.hpp"

namespace mirabex {

// The records, or InvalidFormat with "Invalid JSON: {what} at line {} column {}".
std::variant<RecordList, Hl7Error> records_from_json(std::string_view text);

}  // namespace mirabex
