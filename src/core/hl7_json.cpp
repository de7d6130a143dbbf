#include "core/hl7_json.hpp"

#include <cstring>

#include "core/validation.hpp"

namespace mirabex {

Hl7Json::Hl7Json(std::string hl7_string, std::optional<bool> validation_enabled,
                 std::optional<bool> strict_validation, std::optional<bool> escaping_enabled)
    : hl7_string_(replace_eof(std::move(hl7_string))),
      escape_handler_(&default_escape_handler()),
      validation_enabled_(validation_enabled.value_or(false)),
      strict_validation_(strict_validation.value_or(false)),
      escaping_enabled_(escaping_enabled.value_or(true)) {}

std::variant<Hl7Json, Hl7Error> Hl7Json::from_file(const std::string& path,
                                                   std::optional<bool> validation_enabled,
                                                   std::optional<bool> strict_validation,
                                                   std::optional<bool> escaping_enabled) {
  auto text = read_message_file(path);
  if (auto* error = std::get_if<Hl7Error>(&text)) return std::move(*error);
  return Hl7Json(std::get<std::string>(std::move(text)), validation_enabled, strict_validation,
                 escaping_enabled);
}

std::optional<Hl7Error> Hl7Json::validate(std::optional<bool> strict_mode,
                                          std::optional<bool> validate_required_fields) const {
  const Hl7Validator validator{strict_mode.value_or(strict_validation_),
                               validate_required_fields.value_or(true)};
  return validator.validate_message_text(hl7_string_);
}

std::optional<Hl7Error> Hl7Json::validate_before_conversion() const {
  if (!validation_enabled_) return std::nullopt;
  return validate(strict_validation_, false);
}

std::size_t Hl7Json::line_count() const {
  // Line feeds are far apart: memchr leaps between them.
  std::size_t count = 1;
  const char* at = hl7_string_.data();
  const char* const end = at + hl7_string_.size();
  for (;;) {
    at = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    if (at == nullptr) return count;
    ++at;
    ++count;
  }
}

}  // namespace mirabex
