// HL7 assembly from arbitrary records, in both escape modes, against a
// plain version of the writer built on nested maps.
//
// Input: records separated by 0x1E, a record's entries by 0x1F, and each
// entry "key=value" (cut at its first '='; no '=' gives an empty value).
#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "core/json_hl7.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace mirabex;

constexpr char kRecordSeparator = '\x1E';
constexpr char kEntrySeparator = '\x1F';
// A few records are enough to reach every path, and bound the output that
// keys near the position limit ask for.
constexpr std::size_t kMaxRecords = 16;
constexpr std::size_t kMaxEntries = 64;

template <class Piece>
void for_each_piece(std::string_view text, char separator, Piece&& piece) {
  for (;;) {
    const std::size_t cut = text.find(separator);
    piece(text.substr(0, cut));
    if (cut == std::string_view::npos) return;
    text.remove_prefix(cut + 1);
  }
}

RecordList decode_records(std::string_view input) {
  RecordList records;
  std::size_t entries = 0;
  for_each_piece(input, kRecordSeparator, [&](std::string_view record_text) {
    if (records.size() == kMaxRecords) return;
    records.begin_record();
    for_each_piece(record_text, kEntrySeparator, [&](std::string_view entry) {
      if (entry.empty() || entries == kMaxEntries) return;
      ++entries;
      const std::size_t equals = entry.find('=');
      const std::string_view value =
          equals == std::string_view::npos ? "" : entry.substr(equals + 1);
      records.add(entry.substr(0, equals), value);
    });
    records.end_record();
  });
  return records;
}

bool beyond_limit(const Position& p) {
  return p.field > kMaxPosition || p.repetition > kMaxPosition || p.component > kMaxPosition;
}

bool names_position_beyond_limit(const RecordList& records) {
  return std::ranges::any_of(records, [](std::span<const TextPair> record) {
    return std::ranges::any_of(record, [](const TextPair& pair) {
      const auto placement = parse_position_key(pair.key);
      return placement && beyond_limit(*placement);
    });
  });
}

// field -> repetition -> component -> value; a later key for one position
// replaces the value of an earlier one.
using PositionMap =
    std::map<std::uint64_t, std::map<std::uint64_t, std::map<std::uint64_t, std::string_view>>>;

// Parts first, first + 1, ... up to the last one present, joined by the
// separator; absent parts are empty, parts numbered below first are not
// written. Gaps cost one append, so keys near the position limit stay cheap.
template <class Parts, class Write>
void join_parts(std::string& line, const Parts& parts, std::uint64_t first, char separator,
                Write&& write) {
  std::uint64_t separators = 0;
  for (const auto& [number, part] : parts) {
    if (number < first) continue;
    line.append(number - first - separators, separator);
    separators = number - first;
    write(number, part);
  }
}

// One segment line, written the plain way. Two choices of the writer are
// followed: the segment name is escaped like any value, and the header's
// field 1 (its encoding characters) is written as it is.
std::string reference_line(std::span<const TextPair> record, const Hl7EscapeHandler* escape) {
  std::optional<std::string_view> name;
  PositionMap fields;
  for (const TextPair& pair : record) {
    const std::string_view key = pair.key;
    const std::string_view value = pair.value;
    if (key == kSegmentNameKey) {
      name = value;
    } else if (const auto p = parse_position_key(key)) {
      fields[p->field][p->repetition][p->component] = value;
    }
  }
  std::string line;
  const auto write = [&](std::string_view value, bool as_is) {
    if (escape == nullptr || as_is) {
      line += value;
    } else {
      line += escape->escape(value);
    }
  };
  if (name) write(*name, false);
  const bool has_fields = !fields.empty() && fields.rbegin()->first >= 1;
  if (name && has_fields) line += '|';
  const bool header = name == "MSH";
  join_parts(line, fields, 1, '|', [&](std::uint64_t field, const auto& repetitions) {
    const bool as_is = header && field == 1;
    join_parts(line, repetitions, 0, '~', [&](std::uint64_t, const auto& components) {
      if (components.rbegin()->first == 0) {
        write(components.begin()->second, as_is);
      } else {
        join_parts(line, components, 1, '^',
                   [&](std::uint64_t, std::string_view value) { write(value, as_is); });
      }
    });
  });
  return line;
}

std::string reference_message(const RecordList& records, const Hl7EscapeHandler* escape) {
  std::string message;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i > 0) message += '\n';
    message += reference_line(records[i], escape);
  }
  return message;
}

// The one place a line break can pass unescaped: a header's field 1.
bool header_field_one_breaks_line(const RecordList& records) {
  return std::ranges::any_of(records, [](std::span<const TextPair> record) {
    const auto name = std::ranges::find(record, kSegmentNameKey, &TextPair::key);
    if (name == record.end() || name->value != "MSH") return false;
    return std::ranges::any_of(record, [](const TextPair& pair) {
      const auto placement = parse_position_key(pair.key);
      return placement && placement->field == 1 &&
             pair.value.find_first_of("\r\n") != std::string_view::npos;
    });
  });
}

}  // namespace

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  const RecordList records = decode_records(fuzz::as_text(data, size));
  const JsonHl7 message(records);
  const bool refused = names_position_beyond_limit(records);
  for (const bool escape : {false, true}) {
    const auto result = message.convert(escape);
    if (refused) {
      const auto* error = std::get_if<Hl7Error>(&result);
      FUZZ_CHECK(error != nullptr && error->get_if<error_kind::FieldError>() != nullptr);
      continue;
    }
    const auto* text = std::get_if<std::string>(&result);
    FUZZ_CHECK(text != nullptr);
    const Hl7EscapeHandler* handler = escape ? &message.escape_handler() : nullptr;
    FUZZ_CHECK(*text == reference_message(records, handler));
    if (escape && !header_field_one_breaks_line(records)) {
      FUZZ_CHECK(text->find('\r') == std::string::npos);
      FUZZ_CHECK(static_cast<std::size_t>(std::ranges::count(*text, '\n')) == records.size() - 1);
    }
  }
  return 0;
}
