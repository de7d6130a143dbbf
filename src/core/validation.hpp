// Hl7Validator: structural checks of a parsed HL7 v2 message. Reports the
// first failed check as an Hl7Error.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/errors.hpp"
#include "core/segments.hpp"

namespace mirabex {

inline constexpr std::size_t kMaxValueLength = 65536;
inline constexpr std::string_view kSupportedVersions[] = {"2.1",   "2.2", "2.3", "2.4", "2.5",
                                                          "2.5.1", "2.6", "2.7", "2.8", "2.9"};

struct Hl7Validator {
  bool strict_mode = false;               // also check the version and the message type's shape
  bool validate_required_fields = false;  // also require a PID segment

  std::optional<Hl7Error> validate_message(std::span<const Hl7Segment> segments) const;

  // Cuts the text into lines and validates them parsed without escaping.
  // A text that ends with a line feed has ended its last segment there: the
  // empty text after that line feed is not a segment.
  std::optional<Hl7Error> validate_message_text(std::string_view text) const;
};

// The message type checks on the header segment.
std::optional<Hl7Error> validate_message_type(bool strict_mode, const Hl7Segment& header);

}  // namespace mirabex
