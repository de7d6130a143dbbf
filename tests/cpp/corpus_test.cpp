// The sample messages: real HL7 from public projects, through every stage.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/utils.hpp"
#include "core/validation.hpp"
#include "test_support.hpp"

namespace mirabex {
namespace {

using testing_support::sample_messages;

const Hl7EscapeHandler& handler() {
  static const Hl7EscapeHandler instance = create_default_escape_handler();
  return instance;
}

TEST(Corpus, HasTheSampleMessages) { EXPECT_EQ(sample_messages().size(), 22u); }

// Without escaping, joining each record's values back with the separators
// its keys name rebuilds the line exactly.
std::string rebuild_line(const Hl7Segment& segment) {
  std::string line(segment.name());
  for (const Hl7Field& field : segment.fields()) {
    line += '|';
    line += field.value;
  }
  return line;
}

TEST(Corpus, EveryLineParsesInBothModes) {
  for (const auto& message : sample_messages()) {
    const std::string text = replace_eof(message.text);
    std::size_t lines = 0;
    for (const std::string_view line : Lines(text)) {
      ++lines;
      const Hl7Segment plain = Hl7Segment::from_string(line, nullptr);
      EXPECT_EQ(rebuild_line(plain), line) << message.name;
      const Hl7Segment escaping = Hl7Segment::from_string(line, &handler());
      EXPECT_EQ(escaping.fields().size(), plain.fields().size()) << message.name;
      for (const Hl7Segment* segment : {&plain, &escaping}) {
        const Record record = to_json(*segment);
        EXPECT_TRUE(std::ranges::is_sorted(record)) << message.name;
        EXPECT_EQ(record.back().first, "segment_name");
      }
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(std::ranges::count(text, '\n')) + 1);
  }
}

// The first failed check of each sample, in lenient and in strict mode.
// Every sample that starts with its header passes lenient validation; strict
// mode also wants three message type components and a listed version.
struct ExpectedValidation {
  const char* file;
  const char* lenient;
  const char* strict;
};

constexpr ExpectedValidation kExpectedValidation[] = {
    {"fhirconv_ADT-A01-01.hl7", "OK", "OK"},
    {"fhirconv_ADT-A01-02.hl7", "OK", "OK"},
    {"fhirconv_ADT-A40-02.hl7", "OK", "OK"},
    {"fhirconv_ADT01-23.hl7", "OK", "type"},
    {"fhirconv_ADT04-251.hl7", "OK", "type"},
    {"fhirconv_LAB-ORU-1.hl7", "OK", "type"},
    {"fhirconv_LRI_2.0-NG_CBC_Typ_Message.hl7", "OK", "OK"},
    {"fhirconv_MDM-T02-01.hl7", "OK", "OK"},
    {"fhirconv_MDM_01.hl7", "OK", "OK"},
    {"fhirconv_OML-O21-03.hl7", "OK", "OK"},
    {"fhirconv_ORM-O01-02.hl7", "OK", "OK"},
    {"fhirconv_ORU-R01-01.hl7", "OK", "OK"},
    {"fhirconv_OUL-R22-01.hl7", "OK", "OK"},
    {"fhirconv_PC1-Problem-Add-v2.3.1.hl7", "OK", "version"},
    {"fhirconv_SIU-S12-01.hl7", "OK", "OK"},
    {"hl7apy_msh_highlight_H_N.hl7", "OK", "OK"},
    {"hl7apy_oml_o33.hl7", "OK", "type"},
    {"pythonhl7_adt_a01_nulls.hl7", "OK", "type"},
    {"pythonhl7_batch_bhs_bts.hl7", "msh", "msh"},
    {"pythonhl7_oru_r01_glucose.hl7", "OK", "type"},
    {"pythonhl7_rep_subcomponents.hl7", "OK", "type"},
    {"rusthl7_oru_r01_escape_F_lone_backslash.hl7", "OK", "type"},
};

std::string check_that_failed(const std::optional<Hl7Error>& error) {
  if (!error) return "OK";
  const std::string text = error->display();
  if (text.starts_with("Invalid segment name")) return "name";
  if (text.starts_with("HL7 validation failed: Message type")) return "type";
  if (text.starts_with("HL7 version not supported")) return "version";
  if (text == "Missing required segment: MSH (Message Header)") return "msh";
  return text;
}

TEST(Corpus, ValidationFailsAtTheExpectedCheck) {
  const auto messages = sample_messages();
  ASSERT_EQ(messages.size(), std::size(kExpectedValidation));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const ExpectedValidation& expected = kExpectedValidation[i];
    ASSERT_EQ(messages[i].name, expected.file);
    const std::string text = replace_eof(messages[i].text);
    EXPECT_EQ(check_that_failed(Hl7Validator{false, false}.validate_message_text(text)),
              expected.lenient)
        << expected.file;
    EXPECT_EQ(check_that_failed(Hl7Validator{true, false}.validate_message_text(text)),
              expected.strict)
        << expected.file;
  }
}

}  // namespace
}  // namespace mirabex
