#include "core/json_writer.hpp"

#include <array>
#include <cstring>

#include "core/utils.hpp"
#include "core/validation.hpp"

namespace mirabex {

namespace {

const Hl7EscapeHandler& escape_handler() {
  static const Hl7EscapeHandler handler = create_default_escape_handler();
  return handler;
}

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

}  // namespace

void append_json_string(std::string_view text, std::string& out) {
  const auto& escapes = json_escapes();
  out += '"';
  std::size_t plain_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view escape = escapes[static_cast<unsigned char>(text[i])];
    if (escape.empty()) continue;
    out.append(text.data() + plain_start, i - plain_start);
    out += escape;
    plain_start = i + 1;
  }
  out.append(text.data() + plain_start, text.size() - plain_start);
  out += '"';
}

RecordsJsonWriter::RecordsJsonWriter(ConversionOptions options)
    : options_(options), handler_(options.escaping_enabled ? &escape_handler() : nullptr) {}

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
  append_lines(normalised, out);
  return std::nullopt;
}

void RecordsJsonWriter::append_lines(std::string_view normalised, std::string& out) {
  out += '[';
  bool first = true;
  for (const std::string_view line : Lines(normalised)) {
    if (!first) out += ',';
    first = false;
    segment_.parse(line, handler_);
    append_record(out);
  }
  out += ']';
}

void RecordsJsonWriter::append_record(std::string& out) {
  out += '{';
  for_each_record_entry(segment_, [&](const PositionKey& key, std::string_view value) {
    char text[PositionKey::kMaxTextSize + 3];
    text[0] = '"';
    std::size_t length = 1 + key.write_text(text + 1);
    text[length++] = '"';
    text[length++] = ':';
    out.append(text, length);
    append_json_string(value, out);
    out += ',';
  });
  out += kSegmentNameMember;
  append_json_string(segment_.name(), out);
  out += '}';
}

}  // namespace mirabex
