// JsonHl7: a list of records (key text to value text) and the assembly of
// HL7 v2 message text from it. Records come from Python objects (the
// binding) or from a JSON file, read here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/segments.hpp"

namespace mirabex {

using RecordList = std::vector<Record>;

// Sorts a record's pairs by key bytes; where a key occurs more than once
// the pair given last is kept.
void finish_record(Record& record);

// Where a key places its value: field from 1, repetition from 0, component
// from 1 (0: the value fills the whole repetition).
struct Placement {
  std::uint64_t field = 0;
  std::uint64_t repetition = 0;
  std::uint64_t component = 0;
  bool operator==(const Placement&) const = default;
};

// The position a key names, or nothing for keys that name none: "3", "+3",
// "3[1]", "3[1].2", "5.2". Numbers may have leading zeros and one leading
// '+', and must fit in 64 bits.
std::optional<Placement> parse_position_key(std::string_view key);

// Field, repetition and component numbers above this are refused: one key
// would otherwise ask for that many empty parts.
inline constexpr std::uint64_t kMaxPosition = 100000;

class JsonHl7 {
 public:
  explicit JsonHl7(RecordList records);

  static std::variant<JsonHl7, Hl7Error> from_file(const std::string& path);

  const RecordList& records() const { return records_; }
  const Hl7EscapeHandler& escape_handler() const { return *escape_handler_; }

  // The message text: one line per record, joined by line feeds, values
  // escaped when escape is set.
  std::variant<std::string, Hl7Error> convert(bool escape) const;

 private:
  RecordList records_;
  const Hl7EscapeHandler* escape_handler_;
};

}  // namespace mirabex
