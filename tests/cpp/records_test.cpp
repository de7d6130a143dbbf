#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/segments.hpp"
#include "core/text_arena.hpp"

namespace mirabex {
namespace {

const Hl7EscapeHandler& handler() {
  static const Hl7EscapeHandler instance = create_default_escape_handler();
  return instance;
}

Record record_of(std::string_view line, bool escaping = false) {
  return to_json(Hl7Segment::from_string(line, escaping ? &handler() : nullptr));
}

std::vector<std::string> keys_of(const Record& record) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : record) keys.push_back(key);
  return keys;
}

TEST(ToJson, WorkedExample) {
  EXPECT_EQ(record_of("PID|1||123^^^HOSP~456|A&B"), (Record{{"1", "1"},
                                                            {"2", ""},
                                                            {"3[0].1", "123"},
                                                            {"3[0].2", ""},
                                                            {"3[0].3", ""},
                                                            {"3[0].4", "HOSP"},
                                                            {"3[1]", "456"},
                                                            {"4", "A&B"},
                                                            {"segment_name", "PID"}}));
}

TEST(ToJson, HeaderInBothModes) {
  EXPECT_EQ(record_of("MSH|^~\\&|APP|FAC"),
            (Record{{"1", "^~\\&"}, {"2", "APP"}, {"3", "FAC"}, {"segment_name", "MSH"}}));
  EXPECT_EQ(
      record_of("MSH|^~\\&|APP|FAC", true),
      (Record{{"1.1", ""}, {"1.2", "~\\&"}, {"2", "APP"}, {"3", "FAC"}, {"segment_name", "MSH"}}));
}

struct KeysCase {
  std::string line;
  std::vector<std::string> keys;
  friend void PrintTo(const KeysCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.line.substr(0, 60));
  }
};

class RecordKeys : public testing::TestWithParam<KeysCase> {};

TEST_P(RecordKeys, ComeInByteOrder) {
  EXPECT_EQ(keys_of(record_of(GetParam().line)), GetParam().keys);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RecordKeys,
    testing::Values(
        KeysCase{"", {"segment_name"}}, KeysCase{"ZZZ", {"segment_name"}},
        KeysCase{"ZZZ|", {"1", "segment_name"}},
        KeysCase{"X|||||a^b^c^d^e^f^g^h^i^j^k^l",
                 {"1", "2", "3", "4", "5.1", "5.10", "5.11", "5.12", "5.2", "5.3", "5.4", "5.5",
                  "5.6", "5.7", "5.8", "5.9", "segment_name"}},
        KeysCase{"X|||||A~~B", {"1", "2", "3", "4", "5[0]", "5[1]", "5[2]", "segment_name"}},
        KeysCase{"X|||||A^B~C", {"1", "2", "3", "4", "5[0].1", "5[0].2", "5[1]", "segment_name"}},
        KeysCase{"X|1|2|3|4|5|6|7|8|9|10|11|12",
                 {"1", "10", "11", "12", "2", "3", "4", "5", "6", "7", "8", "9", "segment_name"}},
        // Field 1 with repetitions sorts after fields 10 and 11 ("1[" > "10").
        KeysCase{
            "X|a~b|||||||||j|k",
            {"10", "11", "1[0]", "1[1]", "2", "3", "4", "5", "6", "7", "8", "9", "segment_name"}},
        KeysCase{"X|a^b|||||||||j",
                 {"1.1", "1.2", "10", "2", "3", "4", "5", "6", "7", "8", "9", "segment_name"}},
        // Repetition 1 sorts after 10 and 11 ("1]" > "10").
        KeysCase{"X|0~1~2~3~4~5~6~7~8~9~10~11",
                 {"1[0]", "1[10]", "1[11]", "1[1]", "1[2]", "1[3]", "1[4]", "1[5]", "1[6]", "1[7]",
                  "1[8]", "1[9]", "segment_name"}}));

TEST(ToJson, ValuesAreUnescapedOnlyInEscapingMode) {
  EXPECT_EQ(record_of("X|A\\F\\B", true), (Record{{"1", "A|B"}, {"segment_name", "X"}}));
  EXPECT_EQ(record_of("X|A\\F\\B"), (Record{{"1", "A\\F\\B"}, {"segment_name", "X"}}));
}

TEST(Position, WritesEveryShape) {
  EXPECT_EQ((Position{3}).text(), "3");
  EXPECT_EQ((Position{5, Position::kNone, 2}).text(), "5.2");
  EXPECT_EQ((Position{11, 0, 1}).text(), "11[0].1");
  EXPECT_EQ((Position{13, 1, 0}).text(), "13[1]");
  EXPECT_EQ((Position{SIZE_MAX, SIZE_MAX - 1, SIZE_MAX}).text(),
            "18446744073709551615[18446744073709551614].18446744073709551615");
}

// Random segments rich in separators: the keys of each record are unique,
// in byte order, and as many as the shape of every field asks for.
TEST(ToJsonProperty, KeysAreSortedAndComplete) {
  std::mt19937 random(7);
  const std::string alphabet = "||||^^^~~~\\SFab";
  for (int n = 0; n < 3000; ++n) {
    std::string line = "SEG";
    const std::size_t length = random() % 400;
    for (std::size_t i = 0; i < length; ++i) line += alphabet[random() % alphabet.size()];
    for (const Hl7EscapeHandler* mode :
         {static_cast<const Hl7EscapeHandler*>(nullptr), &handler()}) {
      const Hl7Segment segment = Hl7Segment::from_string(line, mode);
      const std::vector<std::string> keys = keys_of(to_json(segment));
      ASSERT_TRUE(std::ranges::is_sorted(keys)) << line;
      ASSERT_EQ(std::ranges::adjacent_find(keys), keys.end()) << line;
      std::size_t expected = 1;  // segment_name
      for (const Hl7Field& field : segment.fields()) {
        if (!field.has_repetitions()) {
          expected += std::max<std::size_t>(field.component_count, 1);
          continue;
        }
        for (const Hl7Field& element : segment.repetitions(field)) {
          expected += std::max<std::size_t>(element.component_count, 1);
        }
      }
      ASSERT_EQ(keys.size(), expected) << line;
      ASSERT_EQ(record_entry_count(segment), expected) << line;
    }
  }
}

TEST(ToJsonProperty, WideShapesStaySorted) {
  std::string line = "W";
  for (int field = 0; field < 250; ++field) {
    line += '|';
    for (int repetition = 0; repetition < (field % 7 == 0 ? 23 : 1); ++repetition) {
      if (repetition > 0) line += '~';
      line += std::string(static_cast<std::size_t>(field % 13), '^');
    }
  }
  const std::vector<std::string> keys = keys_of(record_of(line));
  EXPECT_TRUE(std::ranges::is_sorted(keys));
  EXPECT_EQ(std::ranges::adjacent_find(keys), keys.end());
}

// The walk of numbers in key order against the plain version: each number's
// text with its suffix, sorted as bytes.
TEST(KeyOrder, WalkMatchesSortedTexts) {
  for (std::size_t lowest : {0u, 1u}) {
    for (std::size_t highest = lowest; highest <= 1200; highest += highest < 130 ? 1 : 97) {
      const auto after_digits = [](std::size_t n) { return (n * 7919) % 3 == 0; };
      std::vector<std::string> walked;
      detail::for_each_in_key_order(lowest, highest, after_digits, [&](std::size_t n) {
        walked.push_back(std::to_string(n) + (after_digits(n) ? "[" : "."));
      });
      std::vector<std::string> sorted;
      for (std::size_t n = lowest; n <= highest; ++n) {
        sorted.push_back(std::to_string(n) + (after_digits(n) ? "[" : "."));
      }
      std::ranges::sort(sorted);
      ASSERT_EQ(walked, sorted) << lowest << ".." << highest;
      if (lowest == 0 || highest > 99) continue;
      // Segments of fewer than 100 fields take their order from a table.
      std::uint8_t copied[99];
      const std::uint8_t* const order = detail::field_key_order(highest, after_digits, copied);
      std::vector<std::string> tabled;
      for (std::size_t i = 0; i < highest; ++i) {
        tabled.push_back(std::to_string(order[i]) + (after_digits(order[i]) ? "[" : "."));
      }
      ASSERT_EQ(tabled, sorted) << highest;
    }
  }
}

// Short texts copied from their end, of every length in turn and across
// blocks: a copy must neither lose a byte nor write over an earlier text.
TEST(TextArena, CopiesWithReadableLeadKeepEveryText) {
  std::string source(256, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('!' + i % 90);
  TextArena arena;
  std::vector<std::pair<std::string_view, std::string>> copies;
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::size_t size = (i * 7) % 21;
    const std::string_view text(source.data() + 16 + i % 200, size);
    copies.emplace_back(arena.copy(text, LeadBytes::kReadable), std::string(text));
  }
  for (const auto& [copied, expected] : copies) ASSERT_EQ(copied, expected);
}

}  // namespace
}  // namespace mirabex
