#include "core/json_reader.hpp"

// Boost.JSON is used header-only: this is the one translation unit that
// compiles its sources.
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/src.hpp>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "core/utils.hpp"

namespace mirabex {

namespace {

namespace json = boost::json;

// What the reader expects at each level of the document.
enum class Level { kTop, kRecords, kMembers };

const char* expected_at(Level level) {
  switch (level) {
    case Level::kTop:
      return "a sequence";
    case Level::kRecords:
      return "a map";
    case Level::kMembers:
      return "a string";
  }
  return "";
}

// A JSON string as a reader shows it in a message: quoted, with quotes,
// backslashes and control characters escaped.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string floating_point_text(double value) {
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  std::string out(text, ec == std::errc() ? end : text);
  if (out.find_first_of(".eEin") == std::string::npos) out += ".0";
  return out;
}

// Builds the records from the parser's events. A value of the wrong kind
// fails at the event where it appears.
class RecordBuilder {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  RecordList records;
  std::string failure;               // set when a value of the wrong kind failed the parse
  bool failed_at_number = false;     // that value was a number
  bool number_out_of_range = false;  // a number beyond the double range failed the parse
  Level level = Level::kTop;
  bool in_string = false;
  bool after_key = false;  // a member's name has been read, its value not yet

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }

  bool on_array_begin(json::error_code& ec) {
    if (level != Level::kTop) return wrong_kind("sequence", ec);
    level = Level::kRecords;
    return true;
  }
  bool on_array_end(std::size_t, json::error_code&) {
    level = Level::kTop;
    return true;
  }
  bool on_object_begin(json::error_code& ec) {
    if (level != Level::kRecords) return wrong_kind("map", ec);
    level = Level::kMembers;
    records.begin_record();
    return true;
  }
  bool on_object_end(std::size_t, json::error_code&) {
    records.end_record();
    level = Level::kRecords;
    return true;
  }

  bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
    in_string = true;
    key_.append(part.data(), part.size());
    return true;
  }
  bool on_key(json::string_view part, std::size_t, json::error_code&) {
    in_string = false;
    after_key = true;
    key_.append(part.data(), part.size());
    return true;
  }
  bool on_string_part(json::string_view part, std::size_t, json::error_code&) {
    in_string = true;
    value_.append(part.data(), part.size());
    return true;
  }
  bool on_string(json::string_view part, std::size_t, json::error_code& ec) {
    in_string = false;
    after_key = false;
    value_.append(part.data(), part.size());
    if (level != Level::kMembers) return wrong_kind("string " + quoted(value_), ec);
    records.add(key_, value_);
    key_.clear();
    value_.clear();
    return true;
  }

  bool on_number_part(json::string_view, json::error_code&) { return true; }
  bool on_int64(std::int64_t value, json::string_view, json::error_code& ec) {
    return wrong_kind_number("integer `" + std::to_string(value) + "`", ec);
  }
  bool on_uint64(std::uint64_t value, json::string_view, json::error_code& ec) {
    return wrong_kind_number("integer `" + std::to_string(value) + "`", ec);
  }
  bool on_double(double value, json::string_view, json::error_code& ec) {
    // The parser rounds a number beyond the double range to infinity.
    if (std::isinf(value)) {
      number_out_of_range = true;
      ec = json::error::test_failure;
      return false;
    }
    return wrong_kind_number("floating point `" + floating_point_text(value) + "`", ec);
  }
  bool on_bool(bool value, json::error_code& ec) {
    return wrong_kind(value ? "boolean `true`" : "boolean `false`", ec);
  }
  bool on_null(json::error_code& ec) { return wrong_kind("null", ec); }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  bool wrong_kind_number(const std::string& found, json::error_code& ec) {
    failed_at_number = true;
    return wrong_kind(found, ec);
  }
  bool wrong_kind(const std::string& found, json::error_code& ec) {
    failure = "invalid type: " + found + ", expected " + expected_at(level);
    ec = json::error::test_failure;
    return false;
  }

  std::string key_;
  std::string value_;
};

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

char last_non_blank_before(std::string_view text, std::size_t offset) {
  while (offset > 0) {
    const char c = text[--offset];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c;
  }
  return '\0';
}

// "\uD800".."\uDBFF" right before offset: half of a pair with no other half.
bool follows_leading_surrogate_escape(std::string_view text, std::size_t offset) {
  if (offset < 6 || text[offset - 6] != '\\' || text[offset - 5] != 'u') return false;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data() + offset - 4, text.data() + offset, value, 16);
  return ec == std::errc() && end == text.data() + offset && value >= 0xD800 && value <= 0xDBFF;
}

// A readable description of a syntax failure at offset, from the parser's
// error code, the level the reader was at and the text around the offset.
std::string describe_syntax_failure(json::error_code ec, const RecordBuilder& builder,
                                    std::string_view text, std::size_t offset) {
  using json::error;
  if (ec == error::exponent_overflow) return "number out of range";
  if (ec == error::expected_hex_digit) return "invalid escape";
  if (ec == error::expected_utf16_escape || ec == error::illegal_leading_surrogate) {
    return "lone leading surrogate in hex escape";
  }
  if (ec == error::illegal_trailing_surrogate) return "invalid unicode code point";
  if (ec == error::incomplete || offset >= text.size()) {
    if (builder.in_string) return "EOF while parsing a string";
    if (builder.level == Level::kRecords) return "EOF while parsing a list";
    if (builder.level == Level::kMembers) return "EOF while parsing an object";
    return "EOF while parsing a value";
  }
  const char here = text[offset];
  const char before = last_non_blank_before(text, offset);
  if (follows_leading_surrogate_escape(text, offset)) return "lone leading surrogate in hex escape";
  if (static_cast<unsigned char>(here) < 0x20) {
    return "control character (\\u0000-\\u001F) found while parsing a string";
  }
  if (before == '\\') return "invalid escape";
  if (std::string_view("-+.eE").find(before) != std::string_view::npos) return "invalid number";
  if (before == ',' && (here == ']' || here == '}')) return "trailing comma";
  if (builder.level == Level::kMembers && before != ':') {
    if (before == '{' || before == ',') return "key must be a string";
    return builder.after_key ? "expected `:`" : "expected `,` or `}`";
  }
  if (builder.level == Level::kRecords && before != '[' && before != ',') {
    return "expected `,` or `]`";
  }
  if (here == '-' || (here >= '0' && here <= '9')) return "invalid number";
  if (here >= 'a' && here <= 'z') return "expected ident";
  return "expected value";
}

// " at line L column C": lines from 1, columns counting characters.
std::string position_text(std::string_view text, std::size_t offset, bool at_character) {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = 0;
  for (std::size_t i = line_start; i < offset; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
  }
  if (at_character && offset < text.size()) ++column;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Hl7Error invalid_json(const std::string& what) {
  return error_kind::InvalidFormat{"Invalid JSON: " + what};
}

}  // namespace

std::variant<RecordList, Hl7Error> records_from_json(std::string_view text) {
  json::basic_parser<RecordBuilder> parser(json::parse_options{});
  json::error_code ec;
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
  RecordBuilder& builder = parser.handler();
  // The parser ends a number at a leading zero: a digit right after the
  // number it reported means the text had digits after a leading zero.
  if (builder.failed_at_number && consumed < text.size() && is_ascii_digit(text[consumed])) {
    return invalid_json("invalid number" + position_text(text, consumed, true));
  }
  if (builder.number_out_of_range) {
    return invalid_json("number out of range" + position_text(text, consumed, false));
  }
  if (!builder.failure.empty()) {
    // The parser stops before a container or literal of the wrong kind and
    // after a number or string: point at its first or its last character.
    const std::size_t start = text.find_first_not_of(" \t\r\n", consumed);
    const bool before_value =
        start != std::string_view::npos &&
        std::string_view("[{tfn\"").find(text[start]) != std::string_view::npos;
    return invalid_json(builder.failure + (before_value ? position_text(text, start, true)
                                                        : position_text(text, consumed, false)));
  }
  if (ec) {
    return invalid_json(describe_syntax_failure(ec, builder, text, consumed) +
                        position_text(text, consumed, true));
  }
  if (consumed < text.size()) {
    return invalid_json("trailing characters" + position_text(text, consumed, true));
  }
  return std::move(builder.records);
}

}  // namespace mirabex
