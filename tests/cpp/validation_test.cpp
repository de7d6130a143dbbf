#include "core/validation.hpp"

#include <gtest/gtest.h>

#include <random>

#include "core/utils.hpp"

namespace mirabex {
namespace {

// MSH-12, the version, stands at position 11.
const std::string kHeader = "MSH|^~\\&|SND|FAC|RCV|FAC2|20240101||ADT^A01^ADT_A01|MSG1|P|2.5";

std::string header_with(std::size_t position, std::string_view value) {
  Hl7Segment parsed = Hl7Segment::from_string(kHeader, nullptr);
  std::string line = "MSH";
  for (std::size_t k = 1; k <= parsed.fields().size(); ++k) {
    line += '|';
    line += k == position ? value : parsed.field(k)->value;
  }
  return line;
}

std::string repeat(std::string_view text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

std::string outcome(const std::optional<Hl7Error>& error) {
  return error ? error->display() : "OK";
}

struct ValidationCase {
  std::string text;
  bool strict;
  bool required;
  std::string expected;  // "OK" or the display text
  friend void PrintTo(const ValidationCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.expected.substr(0, 60));
  }
};

class ValidateText : public testing::TestWithParam<ValidationCase> {};

TEST_P(ValidateText, ReportsTheFirstFailure) {
  const Hl7Validator validator{GetParam().strict, GetParam().required};
  EXPECT_EQ(outcome(validator.validate_message_text(GetParam().text)), GetParam().expected);
}

const std::string kNameRule = " (must be 3 characters: a letter, then letters or digits)";

const std::string kUnsupported =
    " (supported versions: 2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9)";

INSTANTIATE_TEST_SUITE_P(
    Checks, ValidateText,
    testing::Values(
        ValidationCase{kHeader, false, false, "OK"}, ValidationCase{kHeader, true, false, "OK"},
        ValidationCase{kHeader + "\nPID|1", true, true, "OK"},
        // The header must come first.
        ValidationCase{"PID|1\n" + kHeader, false, false,
                       "Missing required segment: MSH (Message Header)"},
        ValidationCase{"\n" + kHeader, false, false,
                       "Missing required segment: MSH (Message Header)"},
        ValidationCase{"", false, false, "Missing required segment: MSH (Message Header)"},
        ValidationCase{"\n", false, false, "Missing required segment: MSH (Message Header)"},
        ValidationCase{"msh" + kHeader.substr(3), false, false,
                       "Missing required segment: MSH (Message Header)"},
        // A header that ends at the version passes; one field short fails.
        ValidationCase{"MSH|^~\\&|a|b|c|d|e|f|ADT^A01|g|P", false, false,
                       "HL7 validation failed: MSH segment must have at least 12 fields"},
        ValidationCase{header_with(1, "^~\\"), false, false,
                       "Invalid field separators: ^~\\ (must be exactly 4 characters)"},
        ValidationCase{header_with(1, "\xC3\xA9\xC3\xA9"), false, false, "OK"},
        // Strict mode reads the version from MSH-12, not the sequence
        // number that may follow it.
        ValidationCase{kHeader + "|12345", true, false, "OK"},
        ValidationCase{header_with(11, "2.5.1"), true, false, "OK"},
        ValidationCase{header_with(11, "2.5.2"), true, false,
                       "HL7 version not supported: 2.5.2" + kUnsupported},
        ValidationCase{header_with(11, "2.10"), true, false,
                       "HL7 version not supported: 2.10" + kUnsupported},
        ValidationCase{header_with(11, "V2.5"), true, false,
                       "HL7 version not supported: V2.5" + kUnsupported},
        ValidationCase{header_with(11, " 2.5"), true, false,
                       "HL7 version not supported:  2.5" + kUnsupported},
        ValidationCase{header_with(11, ""), true, false,
                       "HL7 version not supported: " + kUnsupported},
        ValidationCase{header_with(11, ""), false, false, "OK"},
        ValidationCase{header_with(11, "V2.5"), false, false, "OK"},
        // Message type shape, strict mode only.
        ValidationCase{
            header_with(8, "ADT^A01"), true, false,
            "HL7 validation failed: Message type (field 8) must have at least 3 components: "
            "event^structure^version"},
        ValidationCase{header_with(8, "^^"), true, false, "OK"},
        ValidationCase{header_with(8, "ADT"), false, false, "OK"},
        // The version check comes before the message type check.
        ValidationCase{"MSH|^~\\&|SND|FAC|RCV|FAC2|20240101||ADT|MSG1|P|V9", true, false,
                       "HL7 version not supported: V9" + kUnsupported},
        // Required PID, anywhere, exact case.
        ValidationCase{kHeader + "\nEVN|1", false, false, "OK"},
        ValidationCase{kHeader + "\nEVN|1", false, true,
                       "Missing required segment: PID (Patient Identification)"},
        ValidationCase{kHeader + "\npid|1", false, true,
                       "Missing required segment: PID (Patient Identification)"},
        ValidationCase{kHeader + "\nEVN|1\nPID|1", false, true, "OK"},
        // The missing PID is reported before a bad segment name.
        ValidationCase{kHeader + "\n1AB|1", false, true,
                       "Missing required segment: PID (Patient Identification)"},
        // A final line feed ends the last segment; any other empty line is
        // a segment without a name.
        ValidationCase{kHeader + "\nPID|1\n", false, true, "OK"},
        ValidationCase{kHeader + "\n", true, false, "OK"},
        ValidationCase{kHeader + "\n\n", false, false,
                       "HL7 validation failed: Segment 2 has empty segment name"},
        ValidationCase{kHeader + "\n\nPID|1", false, false,
                       "HL7 validation failed: Segment 2 has empty segment name"},
        ValidationCase{kHeader + "\nPID|1\n\n", false, false,
                       "HL7 validation failed: Segment 3 has empty segment name"},
        // Segment names: a letter, then two letters or digits, either case.
        ValidationCase{kHeader + "\nPV1|1\nZX1|1\nZ01|1\nzxy|1\npv1", false, false, "OK"},
        ValidationCase{kHeader + "\nZX|1", false, false, "Invalid segment name: ZX" + kNameRule},
        ValidationCase{kHeader + "\nZXYW", false, false, "Invalid segment name: ZXYW" + kNameRule},
        ValidationCase{kHeader + "\n1AB|1", false, false, "Invalid segment name: 1AB" + kNameRule},
        ValidationCase{kHeader + "\nP-1|1", false, false, "Invalid segment name: P-1" + kNameRule},
        ValidationCase{kHeader + "\nPV\xC2\xB9|1", false, false,
                       "Invalid segment name: PV\xC2\xB9" + kNameRule},
        ValidationCase{kHeader + "\n PI|1", false, false, "Invalid segment name:  PI" + kNameRule},
        ValidationCase{kHeader + "\n\xC3\xA9X|1", false, false,
                       "Invalid segment name: \xC3\xA9X" + kNameRule},
        // Lengths are UTF-8 bytes; repetitions are not examined apart.
        ValidationCase{kHeader + "\nOBX|" + std::string(65536, 'x'), false, false, "OK"},
        ValidationCase{kHeader + "\nOBX|" + std::string(65537, 'x'), false, false,
                       "Field value exceeds maximum length: 65537 > 65536 characters"},
        ValidationCase{kHeader + "\nOBX|" + repeat("x|", 40000), false, false, "OK"},
        ValidationCase{
            kHeader + "\nOBX|1|" + std::string(65537, 'x') + "|" + std::string(70000, 'y'), false,
            false, "Field value exceeds maximum length: 65537 > 65536 characters"},
        ValidationCase{kHeader + "\nOBX|" + repeat("\xC3\xA9", 32769), false, false,
                       "Field value exceeds maximum length: 65538 > 65536 characters"}));

TEST(ValidateMessage, EmptyListHasNoSegments) {
  EXPECT_EQ(outcome(Hl7Validator{}.validate_message({})),
            "HL7 validation error: Message contains no segments");
}

TEST(ValidateMessage, HeaderWithGapsFailsThePresenceChecks) {
  const Hl7Segment no_fields = Hl7Segment::from_string("MSH", nullptr);
  EXPECT_EQ(outcome(validate_message_type(false, no_fields)),
            "HL7 validation failed: Message type (field 8) is required");
}

std::vector<Hl7Segment> parse_lines(std::string_view text) {
  std::vector<Hl7Segment> segments;
  for (const std::string_view line : Lines(text))
    segments.push_back(Hl7Segment::from_string(line, nullptr));
  return segments;
}

// The streaming check over text equals the check over the parsed list,
// with the empty text after a final line feed left out of the list.
TEST(ValidateMessageProperty, TextEqualsParsedList) {
  std::mt19937 random(11);
  const std::vector<std::string> pieces = {kHeader,
                                           "PID|1",
                                           "ZX1|2",
                                           "1AB|2",
                                           "",
                                           "EVN|",
                                           "pid",
                                           "OBX|a^b~c",
                                           header_with(11, "2.10"),
                                           header_with(8, "A^B")};
  for (int n = 0; n < 4000; ++n) {
    std::string text;
    const std::size_t count = random() % 5;
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) text += '\n';
      text += pieces[random() % pieces.size()];
    }
    if (random() % 2 == 0) text += '\n';
    const Hl7Validator validator{random() % 2 == 0, random() % 2 == 0};
    std::string_view segment_text = text;
    if (!text.empty() && text.back() == '\n') segment_text.remove_suffix(1);
    ASSERT_EQ(outcome(validator.validate_message_text(text)),
              outcome(validator.validate_message(parse_lines(segment_text))))
        << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace mirabex
