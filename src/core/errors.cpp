#include "core/errors.hpp"

#include <cstring>

namespace mirabex {

IoError IoError::from_errno(int os_error) { return IoError(os_error, {}); }

IoError IoError::invalid_utf8() { return IoError(0, "stream did not contain valid UTF-8"); }

IoError IoError::described(std::string description) { return IoError(0, std::move(description)); }

std::string IoError::display() const {
  if (os_error_ == 0) return description_;
  char buffer[256];
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* text = strerror_r(os_error_, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(os_error_) + ")";
}

namespace {

using std::to_string;
using namespace error_kind;

struct DisplayText {
  std::string operator()(const Io& e) const { return "I/O error: " + e.io_error.display(); }
  std::string operator()(const InvalidFormat& e) const {
    return "HL7 invalid format: " + e.message;
  }
  std::string operator()(const EmptyMessage&) const { return "HL7 message is empty"; }
  std::string operator()(const InvalidSegment& e) const {
    return "HL7 invalid segment: " + e.message;
  }
  std::string operator()(const ParseError& e) const {
    return "HL7 parsing error at line " + to_string(e.line) + ": " + e.message;
  }
  std::string operator()(const ValidationError& e) const {
    return "HL7 validation error: " + e.message;
  }
  std::string operator()(const ValidationFailed& e) const {
    return "HL7 validation failed: " + e.message;
  }
  std::string operator()(const FieldError& e) const {
    return "HL7 field error in segment " + e.segment + ", field " + to_string(e.field) + ": " +
           e.message;
  }
  std::string operator()(const ComponentError& e) const {
    return "HL7 component error in segment " + e.segment + ", field " + to_string(e.field) +
           ", component " + to_string(e.component) + ": " + e.message;
  }
  std::string operator()(const InvalidEscapeSequence& e) const {
    return "Invalid escape sequence: " + e.sequence + " at position " + to_string(e.position);
  }
  std::string operator()(const FieldTooLong& e) const {
    return "Field value exceeds maximum length: " + to_string(e.length) + " > " + to_string(e.max) +
           " characters";
  }
  std::string operator()(const ComponentTooLong& e) const {
    return "Component value exceeds maximum length: " + to_string(e.length) + " > " +
           to_string(e.max) + " characters";
  }
  std::string operator()(const MissingRequiredSegment& e) const {
    return "Missing required segment: " + e.segment;
  }
  std::string operator()(const InvalidSegmentName& e) const {
    return "Invalid segment name: " + e.name +
           " (must be 3 characters: a letter, then letters or digits)";
  }
  std::string operator()(const InvalidFieldSeparators& e) const {
    return "Invalid field separators: " + e.separators + " (must be exactly 4 characters)";
  }
  std::string operator()(const JsonError& e) const { return "JSON parsing error: " + e.json_error; }
  std::string operator()(const UnsupportedVersion& e) const {
    return "HL7 version not supported: " + e.version + " (supported versions: " + e.supported + ")";
  }
  std::string operator()(const EncodingError& e) const {
    return "HL7 encoding error: " + e.message;
  }
  std::string operator()(const ConfigurationError& e) const {
    return "Configuration error: " + e.message;
  }
};

}  // namespace

std::string Hl7Error::display() const { return std::visit(DisplayText{}, kind_); }

}  // namespace mirabex
