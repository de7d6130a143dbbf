// Character sets: MSH-18 names, and messages decoded to UTF-8 or refused
// with the byte that does not fit.
#include "core/charset.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace mirabex {
namespace {

TEST(Charset, Msh18Names) {
  const std::pair<std::string_view, std::optional<std::string>> cases[] = {
      {"", "UTF-8"},
      {"UNICODE UTF-8", "UTF-8"},
      {"ASCII", "ASCII"},
      {" 8859/1 ", "ISO-8859-1"},
      {"8859/15", "ISO-8859-15"},
      {"ISO IR100", "ISO-8859-1"},
      {"CP1252", "CP1252"},
      {"windows-1250", "CP1250"},
      {"GB 18030-2000", "GB18030"},
      {"UNICODE", std::nullopt},
      {"UNICODE UTF-16", std::nullopt},
      {"8859/x", std::nullopt},
      {"EBCDIC", std::nullopt},
  };
  for (const auto& [value, charset] : cases) EXPECT_EQ(charset_for_msh18(value), charset) << value;
}

TEST(Charset, Msh18IsTheFirstRepetitionOfTheEighteenthField) {
  EXPECT_EQ(msh18_of("MSH|^~\\&|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|8859/1~ISO IR87|x\nPID|1"),
            "8859/1");
  EXPECT_EQ(msh18_of("MSH|^~\\&|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15| CP1252 "), "CP1252");
  EXPECT_EQ(msh18_of("MSH|^~\\&|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15"), "");
  EXPECT_EQ(msh18_of("PID|^~\\&|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|8859/1"), "");
}

std::string header_naming(std::string_view charset) {
  return "MSH|^~\\&|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|" + std::string(charset) + "\nPID|";
}

struct DecodeCase {
  std::string encoding;
  std::string message;
  std::string decoded;  // or the error text
  bool fails = false;
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, GivesUtf8OrTheUndecodableByte) {
  const DecodeCase& c = GetParam();
  auto created = MessageDecoder::create(c.encoding);
  ASSERT_TRUE(std::holds_alternative<MessageDecoder>(created)) << std::get<std::string>(created);
  auto& decoder = std::get<MessageDecoder>(created);
  for (int round = 0; round < 2; ++round) {  // a kept conversion starts afresh
    const auto result = decoder.decode(c.message);
    if (c.fails) {
      ASSERT_TRUE(std::holds_alternative<Hl7Error>(result));
      EXPECT_EQ(std::get<Hl7Error>(result).display(), c.decoded);
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string_view>(result))
          << std::get<Hl7Error>(result).display();
      EXPECT_EQ(std::get<std::string_view>(result), c.decoded);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Charsets, Decode,
    ::testing::Values(
        DecodeCase{"auto", "MSH|x\nPID|caf\xC3\xA9", "MSH|x\nPID|caf\xC3\xA9"},
        DecodeCase{"auto", header_naming("8859/1") + "caf\xE9",
                   header_naming("8859/1") + "caf\xC3\xA9"},
        DecodeCase{"auto", header_naming("CP1252") + "\x80", header_naming("CP1252") + "\xE2\x82\xAC"},
        DecodeCase{"auto", header_naming("8859/15") + "\xA4", header_naming("8859/15") + "\xE2\x82\xAC"},
        DecodeCase{"auto", header_naming("ASCII") + "\xE9",
                   "HL7 encoding error: byte 0xE9 in segment 2 is not valid ASCII", true},
        DecodeCase{"auto", "MSH|x\nPID|\nNK1|caf\xE9",
                   "HL7 encoding error: byte 0xE9 in segment 3 is not valid UTF-8", true},
        DecodeCase{"auto", "MSH|x\nPID|\xED\xA0\x80",
                   "HL7 encoding error: byte 0xED in segment 2 is not valid UTF-8", true},
        DecodeCase{"auto", header_naming("UNICODE") + "x",
                   "HL7 encoding error: MSH-18 names a character set this reader does not know: "
                   "UNICODE",
                   true},
        DecodeCase{"auto", header_naming("8859/5") + "\xD0", header_naming("8859/5") + "\xD0\xB0"},
        DecodeCase{"latin-1", "MSH|x\nPID|\xE9\xFF", "MSH|x\nPID|\xC3\xA9\xC3\xBF"},
        DecodeCase{"cp1252", header_naming("UNICODE UTF-8") + "\x80",
                   header_naming("UNICODE UTF-8") + "\xE2\x82\xAC"},
        DecodeCase{"CP932", "PID|\x83\x7C", "PID|\xE3\x83\x9D"},
        DecodeCase{"utf-8", "PID|\xFF", "HL7 encoding error: byte 0xFF in segment 1 is not valid UTF-8",
                   true}));

TEST(Charset, EncodingsThatCannotBeUsed) {
  EXPECT_EQ(std::get<std::string>(MessageDecoder::create("no-such-set")),
            "unknown encoding: no-such-set");
  EXPECT_EQ(std::get<std::string>(MessageDecoder::create("UTF-16")),
            "encoding UTF-16 is not supported: line breaks and separators must be ASCII bytes");
}

}  // namespace
}  // namespace mirabex
