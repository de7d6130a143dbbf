// Hl7Json: one HL7 v2 message, its line breaks normalised, with the options
// that say how to convert and validate it. Converting works from the stored
// text on every request; nothing is cached.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"

namespace mirabex {

class Hl7Json {
 public:
  Hl7Json(std::string hl7_string, std::optional<bool> validation_enabled,
          std::optional<bool> strict_validation, std::optional<bool> escaping_enabled);

  // Reads a UTF-8 file; a file holding nothing but white space is empty.
  static std::variant<Hl7Json, Hl7Error> from_file(const std::string& path,
                                                   std::optional<bool> validation_enabled,
                                                   std::optional<bool> strict_validation,
                                                   std::optional<bool> escaping_enabled);

  const std::string& hl7_string() const { return hl7_string_; }
  const Hl7EscapeHandler& escape_handler() const { return *escape_handler_; }

  bool validation_enabled() const { return validation_enabled_; }
  bool strict_validation() const { return strict_validation_; }
  bool escaping_enabled() const { return escaping_enabled_; }
  void set_validation_enabled(bool value) { validation_enabled_ = value; }
  void set_strict_validation(bool value) { strict_validation_ = value; }
  void set_escaping_enabled(bool value) { escaping_enabled_ = value; }

  // Validates the message parsed without escaping. Absent settings take
  // the object's strict option and the required-segment check.
  std::optional<Hl7Error> validate(std::optional<bool> strict_mode,
                                   std::optional<bool> validate_required_fields) const;

  // The check a conversion makes first: none unless validation is enabled.
  std::optional<Hl7Error> validate_before_conversion() const;

  // The handler the conversion parses with: none when escaping is off.
  const Hl7EscapeHandler* conversion_handler() const {
    return escaping_enabled_ ? escape_handler_ : nullptr;
  }

  // The lines a conversion turns into records, one record each.
  Lines lines() const { return Lines(hl7_string_); }
  std::size_t line_count() const;

 private:
  std::string hl7_string_;
  const Hl7EscapeHandler* escape_handler_;
  bool validation_enabled_;
  bool strict_validation_;
  bool escaping_enabled_;
};

}  // namespace mirabex
