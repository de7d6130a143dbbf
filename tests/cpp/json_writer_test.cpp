// The JSON writer against the records the core gives Hl7Json: parsed back,
// its output must hold exactly those records, for the sample messages and
// for values full of what JSON must escape.
#include "core/json_writer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hl7_json.hpp"
#include "fuzz/json_records.hpp"
#include "test_support.hpp"

namespace mirabex {
namespace {

using testing_support::sample_messages;

using json_records::expected_records;

// The records of a text that must be JSON.
std::vector<Record> parsed_records(std::string_view json) {
  auto records = json_records::parsed_records(json);
  EXPECT_TRUE(records.has_value()) << json;
  return records.value_or(std::vector<Record>{});
}

std::string written(const std::string& text, ConversionOptions options) {
  RecordsJsonWriter writer(options);
  std::string out;
  EXPECT_FALSE(writer.append_records(text, out).has_value());
  return out;
}

TEST(JsonWriter, SampleMessagesGiveHl7JsonsRecords) {
  for (const auto& sample : sample_messages()) {
    for (const bool escaping : {true, false}) {
      const std::string json = written(sample.text, {.escaping_enabled = escaping});
      EXPECT_EQ(parsed_records(json), expected_records(sample.text, escaping))
          << sample.name << (escaping ? "" : ", no escaping");
    }
  }
}

TEST(JsonWriter, CompactTextInRecordOrder) {
  EXPECT_EQ(written("MSH|^~\\&|A\rPID|1||x^y~z", {}),
            R"([{"1.1":"","1.2":"~\\&","2":"A","segment_name":"MSH"},)"
            R"({"1":"1","2":"","3[0].1":"x","3[0].2":"y","3[1]":"z","segment_name":"PID"}])");
  EXPECT_EQ(written("", {}), R"([{"segment_name":""}])");
}

class JsonWriterValues : public ::testing::TestWithParam<std::string> {};

TEST_P(JsonWriterValues, ParseBackToTheRecords) {
  const std::string text = "PID|" + GetParam() + "|" + GetParam() + "^x\r" + GetParam();
  for (const bool escaping : {true, false}) {
    EXPECT_EQ(parsed_records(written(text, {.escaping_enabled = escaping})),
              expected_records(text, escaping));
  }
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Escaped, JsonWriterValues,
    ::testing::Values("a\"b"s, "back\\slash\\"s, "\\F\\\\X0A\\\\X09\\"s, "\x01\x08\x0c\x1f\x7f"s,
                      "\0nul"s, "tab\there"s, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"s,
                      "\xE2\x80\xA8\xE2\x80\xA9"s, "\"\"\\\\"s, "}{][,:"s,
                      "eight by\"tes then\x1f more, past a word\\"s));

TEST(JsonWriter, ValidationAsHl7JsonValidates) {
  const std::string cases[] = {
      "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5\rPID|1",
      "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P|2.5\rPV1|1",
      "MSH|^~\\&|A|B|C|D|20240101||ADT|1|P|2.5",
      "MSH|^~\\&|A|B|C|D|20240101||ADT^A01^ADT_A01|1|P|3.0",
      "PID|1",
      "",
  };
  for (const std::string& text : cases) {
    for (const bool strict : {false, true}) {
      const Hl7Json message(text, true, strict, true);
      const auto expected = message.validate_before_conversion();
      RecordsJsonWriter writer({.validation_enabled = true, .strict_validation = strict});
      std::string out = "kept";
      const auto error = writer.append_records(text, out);
      ASSERT_EQ(error.has_value(), expected.has_value()) << text;
      if (error) {
        EXPECT_EQ(error->display(), expected->display());
        EXPECT_EQ(out, "kept");
      } else {
        EXPECT_EQ(parsed_records(out.substr(4)), expected_records(text, true));
      }
    }
  }
}

}  // namespace
}  // namespace mirabex
