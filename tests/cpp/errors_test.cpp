#include "core/errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace mirabex {
namespace {

using namespace error_kind;

struct DisplayCase {
  Hl7Error error;
  std::string text;
  friend void PrintTo(const DisplayCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.text.substr(0, 60));
  }
};

class DisplayText : public testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayText, MatchesTemplate) { EXPECT_EQ(GetParam().error.display(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    EveryKind, DisplayText,
    testing::Values(
        DisplayCase{Io{IoError::from_errno(ENOENT)},
                    "I/O error: No such file or directory (os error 2)"},
        DisplayCase{Io{IoError::invalid_utf8()}, "I/O error: stream did not contain valid UTF-8"},
        DisplayCase{InvalidFormat{"Invalid JSON: expected value at line 1 column 1"},
                    "HL7 invalid format: Invalid JSON: expected value at line 1 column 1"},
        DisplayCase{EmptyMessage{}, "HL7 message is empty"},
        DisplayCase{InvalidSegment{"x"}, "HL7 invalid segment: x"},
        DisplayCase{ParseError{7, "bad"}, "HL7 parsing error at line 7: bad"},
        DisplayCase{ValidationError{"Message contains no segments"},
                    "HL7 validation error: Message contains no segments"},
        DisplayCase{ValidationFailed{"Segment 3 has empty segment name"},
                    "HL7 validation failed: Segment 3 has empty segment name"},
        DisplayCase{FieldError{"PID", 1000000000, "too far"},
                    "HL7 field error in segment PID, field 1000000000: too far"},
        DisplayCase{ComponentError{"PID", 5, 2, "bad"},
                    "HL7 component error in segment PID, field 5, component 2: bad"},
        DisplayCase{InvalidEscapeSequence{"\\Q\\", 4},
                    "Invalid escape sequence: \\Q\\ at position 4"},
        DisplayCase{FieldTooLong{70000, 65536},
                    "Field value exceeds maximum length: 70000 > 65536 characters"},
        DisplayCase{ComponentTooLong{65537, 65536},
                    "Component value exceeds maximum length: 65537 > 65536 characters"},
        DisplayCase{MissingRequiredSegment{"MSH (Message Header)"},
                    "Missing required segment: MSH (Message Header)"},
        DisplayCase{InvalidSegmentName{"1AB"},
                    "Invalid segment name: 1AB (must be 3 characters: a letter, then letters or "
                    "digits)"},
        DisplayCase{InvalidFieldSeparators{"^~\\"},
                    "Invalid field separators: ^~\\ (must be exactly 4 characters)"},
        DisplayCase{JsonError{"oops"}, "JSON parsing error: oops"},
        DisplayCase{UnsupportedVersion{"2.10", "2.1, 2.2"},
                    "HL7 version not supported: 2.10 (supported versions: 2.1, 2.2)"},
        DisplayCase{EncodingError{"e"}, "HL7 encoding error: e"},
        DisplayCase{ConfigurationError{"c"}, "Configuration error: c"},
        // Unsigned fields print in plain decimal, the largest included.
        DisplayCase{FieldTooLong{SIZE_MAX, 0},
                    "Field value exceeds maximum length: 18446744073709551615 > 0 characters"}));

TEST(IoErrorTest, KeepsTheErrorNumber) {
  EXPECT_EQ(IoError::from_errno(EISDIR).os_error(), EISDIR);
  EXPECT_EQ(IoError::from_errno(EISDIR).display(), "Is a directory (os error 21)");
  EXPECT_EQ(IoError::invalid_utf8().os_error(), 0);
}

}  // namespace
}  // namespace mirabex
