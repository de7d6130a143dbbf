#include "core/position.hpp"

#include <optional>
#include <string_view>

namespace mirabex {

namespace {

std::size_t write_decimal(char* out, std::uint64_t n) {
  char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  for (std::size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

// One or more ASCII digits, after at most one '+', with a value that fits
// in 64 bits. Leading zeros are allowed.
std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Reads the digits at p as a number without '+' or overflow: the end of
// the digits, or null if there are none or too many to be sure of the value.
[[gnu::always_inline]] inline const char* read_plain_number(const char* p, const char* end,
                                                         std::uint64_t& value) {
  const char* const start = p;
  std::uint64_t number = 0;
  for (; p != end && static_cast<unsigned char>(*p - '0') <= 9; ++p) {
    if (p - start == 19) return nullptr;
    number = number * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  if (p == start) return nullptr;
  value = number;
  return p;
}

// The keys Hl7Json writes, "k", "k.c", "k[r]" and "k[r].c", read in one
// pass. Anything else is left to the full grammar.
[[gnu::always_inline]] inline std::optional<Position> parse_usual_key(std::string_view key) {
  const char* p = key.data();
  const char* const end = p + key.size();
  Position placement{0, 0, 0};
  p = read_plain_number(p, end, placement.field);
  if (p == nullptr) return std::nullopt;
  if (p != end && *p == '[') {
    p = read_plain_number(p + 1, end, placement.repetition);
    if (p == nullptr || p == end || *p != ']') return std::nullopt;
    ++p;
  }
  if (p != end && *p == '.') {
    p = read_plain_number(p + 1, end, placement.component);
    if (p == nullptr) return std::nullopt;
  }
  if (p != end) return std::nullopt;
  return placement;
}

std::optional<Position> parse_bracket_key(std::string_view key, std::size_t open,
                                          std::size_t close) {
  if (close < open) return std::nullopt;
  const auto field = parse_number(key.substr(0, open));
  const auto repetition = parse_number(key.substr(open + 1, close - open - 1));
  if (!field || !repetition) return std::nullopt;
  // Whatever follows "]" is disregarded unless it starts with ".".
  if (close + 1 == key.size() || key[close + 1] != '.') return Position{*field, *repetition, 0};
  const auto component = parse_number(key.substr(close + 2));
  if (!component) return std::nullopt;
  return Position{*field, *repetition, *component};
}

std::optional<Position> parse_dotted_key(std::string_view key, std::size_t dot) {
  const std::string_view rest = key.substr(dot + 1);
  if (rest.find('.') != std::string_view::npos) return std::nullopt;
  const auto field = parse_number(key.substr(0, dot));
  const auto component = parse_number(rest);
  if (!field || !component) return std::nullopt;
  return Position{*field, 0, *component};
}

}  // namespace

std::size_t Position::write_text(char* out) const {
  std::size_t length = write_decimal(out, field);
  if (repetition != kNone) {
    out[length++] = '[';
    length += write_decimal(out + length, repetition);
    out[length++] = ']';
  }
  if (component != 0) {
    out[length++] = '.';
    length += write_decimal(out + length, component);
  }
  return length;
}

std::string Position::text() const {
  char buffer[kMaxTextSize];
  return std::string(buffer, write_text(buffer));
}

std::optional<Position> parse_position_key(std::string_view key) {
  if (const auto usual = parse_usual_key(key)) return usual;
  if (key == kSegmentNameKey) return std::nullopt;
  if (const auto field = parse_number(key)) return Position{*field, 0, 0};
  const std::size_t open = key.find('[');
  const std::size_t close = key.find(']');
  if (open != std::string_view::npos && close != std::string_view::npos) {
    return parse_bracket_key(key, open, close);
  }
  const std::size_t dot = key.find('.');
  if (dot != std::string_view::npos) return parse_dotted_key(key, dot);
  return std::nullopt;
}

PositionCode position_code(std::string_view key) {
  // Most keys are usual: read them without the full grammar's detours.
  if (const auto usual = parse_usual_key(key)) return position_code(*usual);
  const auto placement = parse_position_key(key);
  return placement ? pack_position(placement->field, placement->repetition, placement->component)
                   : kNoPosition;
}

}  // namespace mirabex
