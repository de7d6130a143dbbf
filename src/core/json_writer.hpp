// JSON text straight from HL7 text: a message's records written as a JSON
// array, with the keys, values and order of the records Hl7Json gives, and
// no record object built on the way.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/segments.hpp"

namespace mirabex {

// The options of a conversion, with Hl7Json's defaults.
struct ConversionOptions {
  bool validation_enabled = false;
  bool strict_validation = false;
  bool escaping_enabled = true;
};

// Appends the text as a JSON string: quotes, backslashes and control
// characters escaped, everything else (UTF-8 included) as it is. The text
// must be valid UTF-8 for the result to be valid JSON.
void append_json_string(std::string_view text, std::string& out);

class RecordsJsonWriter {
 public:
  explicit RecordsJsonWriter(ConversionOptions options);

  // Appends the records of the message (valid UTF-8, line breaks of any
  // kind) as a JSON array of objects. With validation enabled, a message
  // that fails it appends nothing and gives the error instead.
  std::optional<Hl7Error> append_records(std::string_view message, std::string& out);

  const ConversionOptions& options() const { return options_; }

 private:
  void append_lines(std::string_view normalised);
  void append_record();
  void append_string(std::string_view text);
  // Room for n more bytes at the end of the scratch text.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return scratch_.get() + size_;
  }
  void grow(std::size_t n);

  ConversionOptions options_;
  const Hl7EscapeHandler* handler_;  // none when escaping is off
  Hl7Segment segment_;               // reused from line to line
  std::string normalised_;           // for a message with CR in it
  // The message's JSON text, written through raw pointers into room made
  // once per value, then appended to the caller's string in one copy.
  std::unique_ptr<char[]> scratch_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace mirabex
