// Hl7Error: the one error type of the HL7 core, a closed set of kinds, each
// with its own fields and display text. Errors own all their texts, so they
// outlive the input they describe.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

namespace mirabex {

// A failed read, as the operating system reported it (an errno value) or as
// a reader described it (bytes that are not UTF-8).
class IoError {
 public:
  static IoError from_errno(int os_error);
  static IoError invalid_utf8();
  // A failure the reader describes itself, with no error number.
  static IoError described(std::string description);

  int os_error() const { return os_error_; }
  // "No such file or directory (os error 2)", or the reader's description.
  std::string display() const;

 private:
  IoError(int os_error, std::string description)
      : os_error_(os_error), description_(std::move(description)) {}

  int os_error_;             // 0 when the failure has no error number
  std::string description_;  // used when os_error_ is 0
};

namespace error_kind {
struct Io {
  IoError io_error;
};
struct InvalidFormat {
  std::string message;
};
struct EmptyMessage {};
struct InvalidSegment {
  std::string message;
};
struct ParseError {
  std::size_t line;
  std::string message;
};
struct ValidationError {
  std::string message;
};
struct ValidationFailed {
  std::string message;
};
struct FieldError {
  std::string segment;
  std::size_t field;
  std::string message;
};
struct ComponentError {
  std::string segment;
  std::size_t field;
  std::size_t component;
  std::string message;
};
struct InvalidEscapeSequence {
  std::string sequence;
  std::size_t position;
};
struct FieldTooLong {
  std::size_t length;
  std::size_t max;
};
struct ComponentTooLong {
  std::size_t length;
  std::size_t max;
};
struct MissingRequiredSegment {
  std::string segment;
};
struct InvalidSegmentName {
  std::string name;
};
struct InvalidFieldSeparators {
  std::string separators;
};
struct JsonError {
  std::string json_error;
};
struct UnsupportedVersion {
  std::string version;
  std::string supported;
};
struct EncodingError {
  std::string message;
};
struct ConfigurationError {
  std::string message;
};
}  // namespace error_kind

class Hl7Error {
 public:
  using Kind =
      std::variant<error_kind::Io, error_kind::InvalidFormat, error_kind::EmptyMessage,
                   error_kind::InvalidSegment, error_kind::ParseError, error_kind::ValidationError,
                   error_kind::ValidationFailed, error_kind::FieldError, error_kind::ComponentError,
                   error_kind::InvalidEscapeSequence, error_kind::FieldTooLong,
                   error_kind::ComponentTooLong, error_kind::MissingRequiredSegment,
                   error_kind::InvalidSegmentName, error_kind::InvalidFieldSeparators,
                   error_kind::JsonError, error_kind::UnsupportedVersion, error_kind::EncodingError,
                   error_kind::ConfigurationError>;

  template <class K>
  Hl7Error(K kind) : kind_(std::move(kind)) {}  // NOLINT: implicit by design

  const Kind& kind() const { return kind_; }

  template <class K>
  const K* get_if() const {
    return std::get_if<K>(&kind_);
  }

  // The text a Python caller sees as the exception message.
  std::string display() const;

 private:
  Kind kind_;
};

}  // namespace mirabex
