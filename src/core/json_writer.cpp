#include "core/json_writer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/utils.hpp"
#include "core/validation.hpp"

namespace mirabex {

namespace {

// The escape written for each byte that needs one; empty for the others.
const std::array<std::string_view, 256>& json_escapes() {
  static const std::array<std::string_view, 256> table = [] {
    static constexpr char kHex[] = "0123456789abcdef";
    static std::array<char[7], 32> control{};
    std::array<std::string_view, 256> escapes{};
    for (std::size_t c = 0; c < 32; ++c) {
      std::memcpy(control[c], "\\u00", 4);
      control[c][4] = kHex[c >> 4];
      control[c][5] = kHex[c & 15];
      escapes[c] = std::string_view(control[c], 6);
    }
    escapes['\b'] = "\\b";
    escapes['\f'] = "\\f";
    escapes['\n'] = "\\n";
    escapes['\r'] = "\\r";
    escapes['\t'] = "\\t";
    escapes['"'] = "\\\"";
    escapes['\\'] = "\\\\";
    return escapes;
  }();
  return table;
}

constexpr std::string_view kSegmentNameMember = "\"segment_name\":";

// The escaped form of text written at out, which has room for six bytes per
// byte of text; returns the end of what was written.
// True when any of the eight bytes is a control character, a quote or a
// backslash (exact for "any"; which byte is not asked).
bool needs_json_escape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  const auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighs;
  return (below_space | zero_byte(word ^ (kOnes * '"')) | zero_byte(word ^ (kOnes * '\\'))) != 0;
}

char* write_escaped(std::string_view text, char* out) {
  const auto& escapes = json_escapes();
  // Most values need no escape: they go eight bytes at a time.
  std::size_t plain_start = 0;
  for (std::uint64_t word; plain_start + 8 <= text.size(); plain_start += 8) {
    std::memcpy(&word, text.data() + plain_start, sizeof word);
    if (needs_json_escape(word)) break;
    std::memcpy(out, &word, sizeof word);
    out += sizeof word;
  }
  for (std::size_t i = plain_start; i < text.size(); ++i) {
    const std::string_view escape = escapes[static_cast<unsigned char>(text[i])];
    if (escape.empty()) continue;
    std::memcpy(out, text.data() + plain_start, i - plain_start);
    out += i - plain_start;
    std::memcpy(out, escape.data(), escape.size());
    out += escape.size();
    plain_start = i + 1;
  }
  std::memcpy(out, text.data() + plain_start, text.size() - plain_start);
  return out + text.size() - plain_start;
}

// Positions are small numbers: one or two digits take no division loop.
char* write_number(std::size_t n, char* out) {
  if (n < 10) {
    *out = static_cast<char>('0' + n);
    return out + 1;
  }
  if (n < 100) {
    out[0] = static_cast<char>('0' + n / 10);
    out[1] = static_cast<char>('0' + n % 10);
    return out + 2;
  }
  return out + Position{.field = n}.write_text(out);
}

// The key text, as Position::write_text writes it.
char* write_key(const Position& key, char* out) {
  out = write_number(key.field, out);
  if (key.repetition != Position::kNone) {
    *out++ = '[';
    out = write_number(key.repetition, out);
    *out++ = ']';
  }
  if (key.component != 0) {
    *out++ = '.';
    out = write_number(key.component, out);
  }
  return out;
}

// The most bytes a JSON string of text takes: six per byte, and the quotes.
std::size_t json_string_bound(std::string_view text) { return text.size() * 6 + 2; }

}  // namespace

void append_json_string(std::string_view text, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + json_string_bound(text));
  char* at = out.data() + start;
  *at++ = '"';
  at = write_escaped(text, at);
  *at++ = '"';
  out.resize(static_cast<std::size_t>(at - out.data()));
}

RecordsJsonWriter::RecordsJsonWriter(ConversionOptions options)
    : options_(options), handler_(options.escaping_enabled ? &default_escape_handler() : nullptr) {}

void RecordsJsonWriter::grow(std::size_t n) {
  const std::size_t capacity = std::max(capacity_ * 2, size_ + n + 4096);
  auto grown = std::make_unique_for_overwrite<char[]>(capacity);
  if (size_ != 0) std::memcpy(grown.get(), scratch_.get(), size_);
  scratch_ = std::move(grown);
  capacity_ = capacity;
}

std::optional<Hl7Error> RecordsJsonWriter::append_records(std::string_view message,
                                                          std::string& out) {
  std::string_view normalised = message;
  if (message.find('\r') != std::string_view::npos) {
    normalised_ = replace_eof(std::string(message));
    normalised = normalised_;
  }
  if (options_.validation_enabled) {
    const Hl7Validator validator{.strict_mode = options_.strict_validation,
                                 .validate_required_fields = false};
    if (auto error = validator.validate_message_text(normalised)) return error;
  }
  size_ = 0;
  append_lines(normalised);
  out.append(scratch_.get(), size_);
  return std::nullopt;
}

void RecordsJsonWriter::append_lines(std::string_view normalised) {
  *room(1) = '[';
  ++size_;
  bool first = true;
  for (const std::string_view line : Lines(normalised)) {
    if (!first) {
      *room(1) = ',';
      ++size_;
    }
    first = false;
    segment_.parse(line, handler_);
    append_record();
  }
  *room(1) = ']';
  ++size_;
}

void RecordsJsonWriter::append_string(std::string_view text) {
  char* at = room(json_string_bound(text));
  char* const start = at;
  *at++ = '"';
  at = write_escaped(text, at);
  *at++ = '"';
  size_ += static_cast<std::size_t>(at - start);
}

void RecordsJsonWriter::append_record() {
  *room(1) = '{';
  ++size_;
  for_each_record_entry(segment_, [&](const Position& key, std::string_view value) {
    // "key":"value",
    char* at = room(Position::kMaxTextSize + 4 + json_string_bound(value));
    char* const start = at;
    *at++ = '"';
    at = write_key(key, at);
    *at++ = '"';
    *at++ = ':';
    *at++ = '"';
    at = write_escaped(value, at);
    *at++ = '"';
    *at++ = ',';
    size_ += static_cast<std::size_t>(at - start);
  });
  std::memcpy(room(kSegmentNameMember.size()), kSegmentNameMember.data(), kSegmentNameMember.size());
  size_ += kSegmentNameMember.size();
  append_string(segment_.name());
  *room(1) = '}';
  ++size_;
}

}  // namespace mirabex
