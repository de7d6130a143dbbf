// The JSON writer: any message (decoded first, as the bulk converter
// does; bytes that are not UTF-8 must be refused there) must give valid
// JSON that parses back to exactly the records the core gives Hl7Json,
// in the options the input's first byte picks.
#include <string>
#include <variant>
#include <vector>

#include "core/charset.hpp"
#include "core/hl7_json.hpp"
#include "core/json_writer.hpp"
#include "core/utils.hpp"
#include "fuzz_check.hpp"
#include "json_records.hpp"

using namespace mirabex;
using json_records::expected_records;
using json_records::parsed_records;

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ConversionOptions options{.validation_enabled = (data[0] & 1) != 0,
                                  .strict_validation = (data[0] & 2) != 0,
                                  .escaping_enabled = (data[0] & 4) != 0};
  const std::string_view bytes = fuzz::as_text(data + 1, size - 1);
  auto decoder = std::get<MessageDecoder>(MessageDecoder::create("UTF-8"));
  const auto decoded = decoder.decode(bytes);
  FUZZ_CHECK(std::holds_alternative<Hl7Error>(decoded) == !is_valid_utf8(bytes));
  if (!std::holds_alternative<std::string_view>(decoded)) return 0;
  const std::string text(std::get<std::string_view>(decoded));

  RecordsJsonWriter writer(options);
  std::string out = "x";
  const auto error = writer.append_records(text, out);
  const Hl7Json message(text, options.validation_enabled, options.strict_validation,
                        options.escaping_enabled);
  const auto expected_error = message.validate_before_conversion();
  FUZZ_CHECK(error.has_value() == expected_error.has_value());
  if (error) {
    FUZZ_CHECK(error->display() == expected_error->display() && out == "x");
    return 0;
  }
  const auto parsed = parsed_records(std::string_view(out).substr(1));
  FUZZ_CHECK(parsed && *parsed == expected_records(text, options.escaping_enabled));
  return 0;
}
