// Hl7EscapeHandler: converts between plain text and HL7 v2 escaped text
// (\F\ for the field separator, \X0D\ for a carriage return, ...).
//
// The delimiters are single ASCII characters, so every UTF-8 byte of a
// multi-byte character differs from them and byte-wise scanning finds
// exactly the characters a character-wise scan would.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mirabex {

class Hl7EscapeHandler {
 public:
  struct CodeHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view code) const {
      return std::hash<std::string_view>{}(code);
    }
  };
  // Escape code (the text between the two escape characters) to its text.
  using EscapeTable = std::unordered_map<std::string, std::string, CodeHash, std::equal_to<>>;

  Hl7EscapeHandler(EscapeTable escape_sequences, char field_separator, char component_separator,
                   char repetition_separator, char escape_character, char subcomponent_separator);

  const EscapeTable& escape_sequences() const { return escape_sequences_; }
  char field_separator() const { return field_separator_; }
  char component_separator() const { return component_separator_; }
  char repetition_separator() const { return repetition_separator_; }
  char escape_character() const { return escape_character_; }
  char subcomponent_separator() const { return subcomponent_separator_; }

  // Plain text to escaped text: every delimiter, the escape character, tab,
  // CR, LF and space are written as escape sequences.
  std::string escape(std::string_view text) const;
  // Writes text from index first on, escaped, to out, which has room for
  // it and kEscapeIntoPadding bytes more, and returns the end of what it
  // wrote. Bytes past the end may be overwritten.
  static constexpr std::size_t kEscapeIntoPadding = 8;
  char* escape_into(std::string_view text, std::size_t first, char* out) const;
  bool needs_escape(char c) const { return needs_escape_[static_cast<unsigned char>(c)]; }
  std::size_t escaped_size(std::string_view text) const;
  // The most bytes escape writes for one byte of plain text.
  std::size_t longest_escape() const { return longest_escape_; }

  // Escaped text to plain text. Never fails: a lone trailing escape
  // character stays, and an unknown code is kept as it was written.
  std::string unescape(std::string_view text) const;
  // Writes unescape(text) to out, which has room for text.size() bytes
  // (unescaping never lengthens a text), and returns the length written.
  std::size_t unescape_into(std::string_view text, char* out) const;
  bool has_escape(std::string_view text) const {
    return text.find(escape_character_) != std::string_view::npos;
  }
  // True when every replacement is ASCII, so that unescaping ASCII text
  // gives ASCII text (unknown codes are kept as written).
  bool unescapes_ascii_to_ascii() const { return unescapes_ascii_to_ascii_; }

  // unescape(text) cut at every component separator; never empty.
  std::vector<std::string> parse_field_with_escaping(std::string_view text) const;

 private:
  std::size_t unescape_sequence(std::string_view text, std::size_t pos, char*& out) const;

  EscapeTable escape_sequences_;
  char field_separator_;
  char component_separator_;
  char repetition_separator_;
  char escape_character_;
  char subcomponent_separator_;
  // What escape writes for each byte (the byte itself for most), in one
  // word, so that every byte is written by one copy of eight bytes.
  struct EscapedByte {
    std::array<char, 7> text{};
    std::uint8_t size = 1;
  };
  static_assert(sizeof(EscapedByte) == Hl7EscapeHandler::kEscapeIntoPadding);
  std::array<EscapedByte, 256> escaped_bytes_;
  std::array<bool, 256> needs_escape_{};
  std::size_t longest_escape_ = 1;
  bool unescapes_ascii_to_ascii_ = true;
};

Hl7EscapeHandler create_default_escape_handler();

// The default handler, made once: it never changes, so every converter
// object shares it instead of building its own table.
const Hl7EscapeHandler& default_escape_handler();

// Letters and digits of any script (Alphabetic, or a numeric category): the
// characters that continue an escape code.
bool is_unicode_alphanumeric(char32_t c);

}  // namespace mirabex
