// The JSON record reader: records that come out sorted and unique, written
// back as JSON and read again unchanged; errors that say what and where.
#include <charconv>
#include <optional>
#include <cstdio>
#include <string>

#include "core/json_reader.hpp"
#include "core/utils.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace mirabex;

constexpr std::string_view kErrorStart = "HL7 invalid format: Invalid JSON: ";
constexpr std::string_view kLineMark = " at line ";
constexpr std::string_view kColumnMark = " column ";

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string to_json_text(const RecordList& records) {
  std::string out = "[";
  for (const auto record : records) {
    if (out.size() > 1) out += ',';
    out += '{';
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (i > 0) out += ',';
      append_json_string(out, record[i].key);
      out += ':';
      append_json_string(out, record[i].value);
    }
    out += '}';
  }
  return out + "]";
}

void check_records(const RecordList& records) {
  for (const auto record : records) {
    for (std::size_t i = 1; i < record.size(); ++i) FUZZ_CHECK(record[i - 1].key < record[i].key);
  }
  const auto again = records_from_json(to_json_text(records));
  FUZZ_CHECK(std::holds_alternative<RecordList>(again));
  FUZZ_CHECK(std::get<RecordList>(again) == records);
}

bool read_decimal(std::string_view text, std::size_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// The byte length of line number (from 1) of the text, if it has that line.
std::optional<std::size_t> line_length(std::string_view text, std::size_t number) {
  for (const std::string_view line : Lines(text)) {
    if (--number == 0) return line.size();
  }
  return std::nullopt;
}

// "... at line L column C" at the end, with L one of the text's lines and C
// at most one past its end (columns count characters, not bytes).
void check_error(const Hl7Error& error, std::string_view text) {
  FUZZ_CHECK(error.get_if<error_kind::InvalidFormat>() != nullptr);
  const std::string message = error.display();
  FUZZ_CHECK(message.starts_with(kErrorStart));
  const std::size_t line_at = message.rfind(kLineMark);
  FUZZ_CHECK(line_at != std::string::npos);
  const std::string_view where = std::string_view(message).substr(line_at + kLineMark.size());
  const std::size_t column_at = where.find(kColumnMark);
  FUZZ_CHECK(column_at != std::string_view::npos);
  std::size_t line = 0;
  std::size_t column = 0;
  FUZZ_CHECK(read_decimal(where.substr(0, column_at), line));
  FUZZ_CHECK(read_decimal(where.substr(column_at + kColumnMark.size()), column));
  FUZZ_CHECK(line >= 1);
  const auto length = line_length(text, line);
  FUZZ_CHECK(length.has_value());
  FUZZ_CHECK(column <= *length + 1);
}

}  // namespace

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  const auto result = records_from_json(text);
  if (const auto* records = std::get_if<RecordList>(&result)) {
    check_records(*records);
  } else {
    check_error(std::get<Hl7Error>(result), text);
  }
  return 0;
}
