// Validation: the streaming check of a message text against the check of
// the same message parsed into a list of segments, in every mode.
#include <optional>
#include <string>
#include <vector>

#include "core/utils.hpp"
#include "core/validation.hpp"
#include "fuzz_check.hpp"

namespace {

using namespace mirabex;

std::optional<std::string> display(const std::optional<Hl7Error>& error) {
  if (!error) return std::nullopt;
  return error->display();
}

// The segments of a message as the text check sees them: a final line
// feed ends the last segment instead of starting an empty one.
std::vector<Hl7Segment> parse_segments(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  std::vector<Hl7Segment> segments;
  for (const std::string_view line : Lines(text)) {
    segments.push_back(Hl7Segment::from_string(line, nullptr));
  }
  return segments;
}

}  // namespace

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  const std::string text = replace_eof(std::string(fuzz::as_text(data, size)));
  const std::vector<Hl7Segment> segments = parse_segments(text);
  for (const bool strict_mode : {false, true}) {
    for (const bool validate_required_fields : {false, true}) {
      const Hl7Validator validator{strict_mode, validate_required_fields};
      const auto from_text = display(validator.validate_message_text(text));
      const auto from_segments = display(validator.validate_message(segments));
      FUZZ_CHECK(from_text == from_segments);
    }
  }
  return 0;
}
