#include "core/segments.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/utils.hpp"
#include "test_support.hpp"

namespace mirabex {
namespace {

using testing_support::describe;

const Hl7EscapeHandler& handler() {
  static const Hl7EscapeHandler instance = create_default_escape_handler();
  return instance;
}

struct ParseCase {
  std::string line;
  std::string plain;     // description of the plain-mode parse
  std::string escaping;  // description of the escaping-mode parse
  friend void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.line.substr(0, 60));
  }
};

class ParseSegment : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseSegment, InBothModes) {
  EXPECT_EQ(describe(Hl7Segment::from_string(GetParam().line, nullptr)), GetParam().plain);
  EXPECT_EQ(describe(Hl7Segment::from_string(GetParam().line, &handler())), GetParam().escaping);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseSegment,
    testing::Values(ParseCase{"", "", ""}, ParseCase{"ZZZ", "ZZZ", "ZZZ"},
                    ParseCase{"ZZZ|", "ZZZ | ", "ZZZ | "}, ParseCase{"|A", " | A", " | A"},
                    ParseCase{" PID|1", " PID | 1", " PID | 1"},
                    ParseCase{"PID|A|", "PID | A | ", "PID | A | "},
                    ParseCase{"PID|1||123^^^HOSP~456|A&B",
                              "PID | 1 |  | 123^^^HOSP~456[123^^^HOSP{123,,,HOSP};456] | A&B",
                              "PID | 1 |  | 123^^^HOSP~456[123^^^HOSP{123,,,HOSP};456] | A&B"},
                    // The header's encoding characters stay whole; with escaping the
                    // unescaped text is still split at its circumflex.
                    ParseCase{"MSH|^~\\&|APP", "MSH | ^~\\& | APP", "MSH | ^~\\&{,~\\&} | APP"},
                    ParseCase{"X|x^~\\&y~z", "X | x^~\\&y~z", "X | x^~\\&y~z{x,~\\&y~z}"},
                    ParseCase{"X|A~~B", "X | A~~B[A;;B]", "X | A~~B[A;;B]"},
                    ParseCase{"X|~", "X | ~[;]", "X | ~[;]"},
                    ParseCase{"X|A^^B", "X | A^^B{A,,B}", "X | A^^B{A,,B}"},
                    ParseCase{"X|^", "X | ^{,}", "X | ^{,}"},
                    ParseCase{"X|A&B^C", "X | A&B^C{A&B,C}", "X | A&B^C{A&B,C}"},
                    ParseCase{"X|A^B~C", "X | A^B~C[A^B{A,B};C]", "X | A^B~C[A^B{A,B};C]"},
                    // Escaped separators: a component separator splits once unescaped,
                    // a repetition separator never does, a field separator stays text.
                    ParseCase{"X|A\\S\\B", "X | A\\S\\B", "X | A^B{A,B}"},
                    ParseCase{"X|A\\R\\B", "X | A\\R\\B", "X | A~B"},
                    ParseCase{"X|A\\F\\B", "X | A\\F\\B", "X | A|B"},
                    ParseCase{"X|\\F\\~a\\T\\b^\\E\\",
                              "X | \\F\\~a\\T\\b^\\E\\[\\F\\;a\\T\\b^\\E\\{a\\T\\b,\\E\\}]",
                              "X | \\F\\~a\\T\\b^\\E\\[|;a&b^\\{a&b,\\}]"},
                    ParseCase{"X|a\\X0D\\b|\\.br\\", "X | a\\X0D\\b | \\.br\\",
                              "X | a\rb | \\.br\\"}));

TEST(ParseSegment, ReusesStorageAcrossLines) {
  Hl7Segment segment;
  segment.parse("A|\\S\\x~y^z", &handler());
  EXPECT_EQ(describe(segment), "A | \\S\\x~y^z[^x{,x};y^z{y,z}]");
  segment.parse("B|1", &handler());
  EXPECT_EQ(describe(segment), "B | 1");
  const std::string line = "C|" + std::string(1000, '\\') + "|\\T\\";
  segment.parse(line, &handler());
  EXPECT_EQ(describe(segment), "C | " + std::string(500, '\\') + " | &");
}

TEST(ParseSegment, ANewSegmentHoldsNothingOfADestroyedOne) {
  { const Hl7Segment old = Hl7Segment::from_string("A|1^2~3|4", nullptr); }
  const Hl7Segment fresh;
  EXPECT_TRUE(fresh.fields().empty());
}

// Each line parsed in both modes, by one segment for all and by one made
// per line, as a plain splitting of it reads.
void expect_agrees_with_plain_splitting(const std::vector<std::string>& lines) {
  Hl7Segment reused;
  for (const std::string& line : lines) {
    for (const Hl7EscapeHandler* mode :
         {static_cast<const Hl7EscapeHandler*>(nullptr), &handler()}) {
      const std::string expected = segment_reference::describe_by_splitting(line, mode);
      reused.parse(line, mode);
      ASSERT_EQ(describe(reused), expected) << line.substr(0, 100);
      ASSERT_EQ(reused.line_is_ascii(), is_ascii(line)) << line.substr(0, 100);
      // A segment made per line takes the storage the last one left.
      ASSERT_EQ(describe(Hl7Segment::from_string(line, mode)), expected) << line.substr(0, 100);
    }
  }
}

std::string repeated(std::string_view piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Lines made at random of pieces that put every delimiter before, on and
// past the steps of 16, 32 and 64 bytes that the parser reads in, and every line
// of the samples.
TEST(ParseSegment, AgreesWithPlainSplitting) {
  // Every other line takes only the first ten pieces, which hold no escape.
  const std::string pieces[] = {"a",      "bcd",   "|",     "|",        "^",
                                "^",      "~",     "&",     "\xc3\xa9", std::string(70, 'x'),
                                "\\",     "\\T\\", "\\S\\", "\\R\\",    "^~\\&",
                                "\\X0D\\"};
  std::vector<std::string> lines;
  std::mt19937 random(20261210);
  for (int i = 0; i < 4000; ++i) {
    std::string line = i % 3 == 0 ? "" : "OBX";
    const std::size_t kinds = i % 2 == 0 ? std::size(pieces) : 10;
    for (auto count = random() % 48; count > 0; --count) line += pieces[random() % kinds];
    lines.push_back(std::move(line));
  }
  for (const auto& sample : testing_support::sample_messages()) {
    const std::string text = replace_eof(sample.text);
    for (const std::string_view line : Lines(text)) lines.emplace_back(line);
  }
  expect_agrees_with_plain_splitting(lines);
}

// Long lines have their arrays sized from their first bytes: lines whose
// first bytes hold fewer separators than the rest, or none, and arrays
// grown past the size from which they are mapped for themselves.
TEST(ParseSegment, LongLinesAgreeWithPlainSplitting) {
  expect_agrees_with_plain_splitting({
      "OBX|" + std::string(70000, 'x') + repeated("a^b~", 800000),
      "OBX|" + repeated("a", 5000) + repeated("|b^~\\T\\", 10000),
      "PID|" + repeated("a^b~", 20000),
  });
}

TEST(ParseSegment, ViewsSurviveAMove) {
  const std::string line = "A|\\T\\1^2";
  Hl7Segment parsed = Hl7Segment::from_string(line, &handler());
  Hl7Segment moved = std::move(parsed);
  EXPECT_EQ(describe(moved), "A | &1^2{&1,2}");
}

TEST(ParseSegment, KeepsEveryPositionOfALongLine) {
  const std::string line = "OBX" + std::string(100000, '|');
  const Hl7Segment segment = Hl7Segment::from_string(line, nullptr);
  EXPECT_EQ(segment.fields().size(), 100000u);
  EXPECT_EQ(segment.field(100000)->value, "");
  EXPECT_EQ(segment.field(100001), nullptr);
  EXPECT_EQ(segment.field(0), nullptr);
}

}  // namespace
}  // namespace mirabex
