#include "core/escape.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "core/utils.hpp"

namespace mirabex {

namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr CodePointRange kAlphanumericRanges[] = {
#include "core/unicode_alnum_table.inc"
};

bool is_ascii_alphanumeric(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool is_unicode_alphanumeric(char32_t c) {
  if (c < 0x80) return is_ascii_alphanumeric(static_cast<unsigned char>(c));
  const auto* range =
      std::upper_bound(std::begin(kAlphanumericRanges), std::end(kAlphanumericRanges), c,
                       [](char32_t value, const CodePointRange& r) { return value < r.first; });
  return range != std::begin(kAlphanumericRanges) && c <= std::prev(range)->last;
}

Hl7EscapeHandler::Hl7EscapeHandler(EscapeTable escape_sequences, char field_separator,
                                   char component_separator, char repetition_separator,
                                   char escape_character, char subcomponent_separator)
    : escape_sequences_(std::move(escape_sequences)),
      field_separator_(field_separator),
      component_separator_(component_separator),
      repetition_separator_(repetition_separator),
      escape_character_(escape_character),
      subcomponent_separator_(subcomponent_separator) {
  for (const char delimiter : {field_separator, component_separator, repetition_separator,
                               escape_character, subcomponent_separator}) {
    if (static_cast<unsigned char>(delimiter) >= 0x80) {
      throw std::invalid_argument("HL7 delimiters must be ASCII characters");
    }
  }
  // unescape_into relies on no sequence growing when it is replaced.
  for (const auto& [code, replacement] : escape_sequences_) {
    if (replacement.size() > code.size() + 1) {
      throw std::invalid_argument("escape replacement longer than its sequence: " + code);
    }
    if (std::ranges::any_of(replacement, [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      unescapes_ascii_to_ascii_ = false;
    }
  }
  for (std::size_t byte = 0; byte < escaped_bytes_.size(); ++byte) {
    escaped_bytes_[byte].text[0] = static_cast<char>(byte);
  }
  const std::string e(1, escape_character);
  const auto set = [&](char c, const std::string& replacement) {
    EscapedByte& escaped = escaped_bytes_[static_cast<unsigned char>(c)];
    if (replacement.size() > escaped.text.size()) throw std::logic_error("escape too long");
    std::copy(replacement.begin(), replacement.end(), escaped.text.begin());
    escaped.size = static_cast<std::uint8_t>(replacement.size());
    needs_escape_[static_cast<unsigned char>(c)] = true;
  };
  // Written from the last rule to the first, so that where two rules name
  // one character the earlier rule wins.
  set(' ', e + "X20" + e);
  set('\r', e + "X0D" + e);
  set('\n', e + "X0A" + e);
  set('\t', e + "X09" + e);
  set(escape_character, e + e);
  set(subcomponent_separator, e + "T" + e);
  set(repetition_separator, e + "R" + e);
  set(component_separator, e + "S" + e);
  set(field_separator, e + "F" + e);
  for (const EscapedByte& escaped : escaped_bytes_) {
    longest_escape_ = std::max<std::size_t>(longest_escape_, escaped.size);
  }
}

std::size_t Hl7EscapeHandler::escaped_size(std::string_view text) const {
  std::size_t size = 0;
  for (const char c : text) size += escaped_bytes_[static_cast<unsigned char>(c)].size;
  return size;
}

char* Hl7EscapeHandler::escape_into(std::string_view text, std::size_t first, char* out) const {
  for (std::size_t i = first; i < text.size(); ++i) {
    const EscapedByte& escaped = escaped_bytes_[static_cast<unsigned char>(text[i])];
    std::memcpy(out, &escaped, sizeof escaped);
    out += escaped.size;
  }
  return out;
}

std::string Hl7EscapeHandler::escape(std::string_view text) const {
  const std::size_t size = escaped_size(text);
  std::string out(size + kEscapeIntoPadding, '\0');
  escape_into(text, 0, out.data());
  out.resize(size);
  return out;
}

// Handles the escape character at text[pos]: writes what it stands for to
// out and returns the position after the sequence.
std::size_t Hl7EscapeHandler::unescape_sequence(std::string_view text, std::size_t pos,
                                                char*& out) const {
  const auto write = [&out](std::string_view s) {
    std::memcpy(out, s.data(), s.size());
    out += s.size();
  };
  const std::size_t code_start = pos + 1;
  if (code_start == text.size()) {  // a lone escape character at the end
    *out++ = escape_character_;
    return code_start;
  }
  if (text[code_start] == escape_character_) {  // two in a row stand for one
    *out++ = escape_character_;
    return code_start + 1;
  }
  // The code is the next character, whatever it is, then every letter or
  // digit that follows it.
  std::size_t code_end = code_start + decode_utf8(text, code_start).length;
  while (code_end < text.size()) {
    const auto byte = static_cast<unsigned char>(text[code_end]);
    if (byte < 0x80) {
      if (!is_ascii_alphanumeric(byte)) break;
      ++code_end;
      continue;
    }
    const Utf8Char next = decode_utf8(text, code_end);
    if (!next.valid || !is_unicode_alphanumeric(next.code)) break;
    code_end += next.length;
  }
  const bool closed = code_end < text.size() && text[code_end] == escape_character_;
  const std::size_t sequence_end = closed ? code_end + 1 : code_end;
  const std::string_view code = text.substr(code_start, code_end - code_start);
  const auto known = escape_sequences_.find(code);
  if (known != escape_sequences_.end()) {
    write(known->second);
  } else {
    // Unknown codes (\H\, \.br\, ...) carry meaning for other readers:
    // keep the sequence exactly as written.
    write(text.substr(pos, sequence_end - pos));
  }
  return sequence_end;
}

std::size_t Hl7EscapeHandler::unescape_into(std::string_view text, char* out) const {
  char* const begin = out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t escape_at = text.find(escape_character_, pos);
    const std::size_t run_end = escape_at == std::string_view::npos ? text.size() : escape_at;
    std::memcpy(out, text.data() + pos, run_end - pos);
    out += run_end - pos;
    if (escape_at == std::string_view::npos) break;
    pos = unescape_sequence(text, escape_at, out);
  }
  return static_cast<std::size_t>(out - begin);
}

std::string Hl7EscapeHandler::unescape(std::string_view text) const {
  std::string out(text.size(), '\0');
  out.resize(unescape_into(text, out.data()));
  return out;
}

std::vector<std::string> Hl7EscapeHandler::parse_field_with_escaping(std::string_view text) const {
  const std::string plain = unescape(text);
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t cut = plain.find(component_separator_, start);
    if (cut == std::string::npos) break;
    parts.emplace_back(plain, start, cut - start);
    start = cut + 1;
  }
  parts.emplace_back(plain, start);
  return parts;
}

Hl7EscapeHandler create_default_escape_handler() {
  Hl7EscapeHandler::EscapeTable table;
  table.reserve(10);
  table.emplace("F", "|");
  table.emplace("S", "^");
  table.emplace("R", "~");
  table.emplace("E", "\\");
  table.emplace("T", "&");
  table.emplace("X0A", "\n");
  table.emplace("X0D", "\r");
  table.emplace("X0D0A", "\r\n");
  table.emplace("X20", " ");
  table.emplace("X09", "\t");
  return Hl7EscapeHandler(std::move(table), '|', '^', '~', '\\', '&');
}

const Hl7EscapeHandler& default_escape_handler() {
  static const Hl7EscapeHandler handler = create_default_escape_handler();
  return handler;
}

}  // namespace mirabex
