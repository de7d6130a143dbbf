// Text helpers shared by the HL7 core: line-break normalisation, cutting a
// message into lines, UTF-8 decoding and checks, and reading whole files.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <variant>

#include "core/errors.hpp"

namespace mirabex {

// Normalises line breaks: CR LF becomes LF, then LF CR becomes LF, then
// every remaining CR becomes LF (three passes, fused into one here). The
// result holds no CR and is never longer than the input.
std::string replace_eof(std::string text);

// The lines of a text cut at every LF: n LFs give n + 1 lines, the empty
// ones included (the empty text is one empty line). Lines are views into
// the text, which must outlive them.
class Lines {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string_view*;
    using reference = std::string_view;

    iterator() = default;
    std::string_view operator*() const { return line_; }
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const {
      return rest_.data() == other.rest_.data() && done_ == other.done_;
    }

   private:
    friend class Lines;
    iterator(std::string_view text, bool done) : rest_(text), done_(done) {
      if (!done) advance();
    }
    void advance();

    std::string_view rest_;  // text after the current line's LF
    std::string_view line_;
    bool last_ = false;  // the current line had no LF after it
    bool done_ = true;
  };

  explicit Lines(std::string_view text) : text_(text) {}
  iterator begin() const { return iterator(text_, false); }
  iterator end() const { return iterator(text_.substr(text_.size()), true); }

 private:
  std::string_view text_;
};

// One decoded character of UTF-8 text. Bytes that do not start a valid
// sequence decode as one character of length 1 with valid == false.
struct Utf8Char {
  char32_t code;
  std::size_t length;
  bool valid;
};
Utf8Char decode_utf8(std::string_view text, std::size_t pos);

bool is_valid_utf8(std::string_view text);

// True when every byte is below 0x80.
bool is_ascii(std::string_view text);

// The Unicode White_Space property.
bool is_unicode_white_space(char32_t c);

// True when the text holds nothing but Unicode white space.
bool is_blank(std::string_view text);

// Reads a whole file that must hold UTF-8 text.
std::variant<std::string, IoError> read_text_file(const std::string& path);

// Reads a file that must hold a message: UTF-8 text that is not blank.
std::variant<std::string, Hl7Error> read_message_file(const std::string& path);

}  // namespace mirabex
