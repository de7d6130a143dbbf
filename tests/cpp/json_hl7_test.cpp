#include "core/json_hl7.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "core/json_reader.hpp"

namespace mirabex {
namespace {

struct KeyCase {
  std::string key;
  std::optional<Position> placement;
  friend void PrintTo(const KeyCase& c, std::ostream* os) { *os << testing::PrintToString(c.key); }
};

class PositionKeys : public testing::TestWithParam<KeyCase> {};

TEST_P(PositionKeys, ParseOrAreIgnored) {
  EXPECT_EQ(parse_position_key(GetParam().key), GetParam().placement);
}

constexpr std::uint64_t kU64Max = UINT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Grammar, PositionKeys,
    testing::Values(
        // Plain keys.
        KeyCase{"3", Position{3, 0, 0}}, KeyCase{"+3", Position{3, 0, 0}},
        KeyCase{"03", Position{3, 0, 0}}, KeyCase{"007", Position{7, 0, 0}},
        KeyCase{"+007", Position{7, 0, 0}}, KeyCase{"0", Position{0, 0, 0}},
        KeyCase{"00", Position{0, 0, 0}}, KeyCase{"18446744073709551615", Position{kU64Max, 0, 0}},
        KeyCase{"18446744073709551616", std::nullopt}, KeyCase{"-5", std::nullopt},
        KeyCase{"-0", std::nullopt}, KeyCase{"+", std::nullopt}, KeyCase{"++3", std::nullopt},
        KeyCase{"5 ", std::nullopt}, KeyCase{" 5", std::nullopt}, KeyCase{"5a", std::nullopt},
        KeyCase{"1e3", std::nullopt}, KeyCase{"", std::nullopt}, KeyCase{"abc", std::nullopt},
        KeyCase{"segment_name", std::nullopt}, KeyCase{"segment_name ", std::nullopt},
        KeyCase{std::string("3\0", 2), std::nullopt}, KeyCase{"\xD9\xA3", std::nullopt},
        // Bracket keys.
        KeyCase{"3[1]", Position{3, 1, 0}}, KeyCase{"3[1].2", Position{3, 1, 2}},
        KeyCase{"3[1]x", Position{3, 1, 0}}, KeyCase{"3[1][2]", Position{3, 1, 0}},
        KeyCase{"+3[+1].+2", Position{3, 1, 2}}, KeyCase{"0[2]", Position{0, 2, 0}},
        KeyCase{"3[0].0", Position{3, 0, 0}}, KeyCase{"3[]", std::nullopt},
        KeyCase{"[1]", std::nullopt}, KeyCase{"3[1].", std::nullopt},
        KeyCase{"3[1].x", std::nullopt}, KeyCase{"3[1].2.5", std::nullopt},
        KeyCase{"3]1[", std::nullopt}, KeyCase{"3.1[2]", std::nullopt},
        KeyCase{"3[18446744073709551616]", std::nullopt},
        // Dotted keys.
        KeyCase{"5.2", Position{5, 0, 2}}, KeyCase{"0.1", Position{0, 0, 1}},
        KeyCase{"3.0", Position{3, 0, 0}}, KeyCase{"5.2.1", std::nullopt},
        KeyCase{".2", std::nullopt}, KeyCase{"5.", std::nullopt}, KeyCase{"5.a", std::nullopt},
        KeyCase{"5[.2", std::nullopt}));

// The packed position must order exactly like (field, repetition,
// component), up to the limit, or the writer would misplace values.
TEST(PositionCode, OrdersLikeThePosition) {
  std::vector<Position> placements;
  for (const std::uint64_t field : {0u, 1u, 2u, 99u, 100u, 65535u, 100000u}) {
    for (const std::uint64_t repetition : {0u, 1u, 7u, 4096u, 100000u}) {
      for (const std::uint64_t component : {0u, 1u, 31u, 32u, 100000u}) {
        placements.push_back({field, repetition, component});
      }
    }
  }
  const auto tuple = [](const Position& p) { return std::tie(p.field, p.repetition, p.component); };
  for (const Position& a : placements) {
    const PositionCode code = pack_position(a.field, a.repetition, a.component);
    ASSERT_EQ(position_of(code), a);
    for (const Position& b : placements) {
      ASSERT_EQ(code < pack_position(b.field, b.repetition, b.component), tuple(a) < tuple(b));
    }
  }
}

TEST(PositionCode, MarksKeysWithoutAPositionAndPositionsPastTheLimit) {
  EXPECT_EQ(position_code("segment_name"), kNoPosition);
  EXPECT_EQ(position_code("5.2.1"), kNoPosition);
  EXPECT_EQ(position_code("100000[100000].100000"), pack_position(100000, 100000, 100000));
  for (const char* key : {"100001", "3[100001]", "3.100001", "18446744073709551615"}) {
    EXPECT_EQ(position_code(key), kBeyondLimit) << key;
  }
  EXPECT_GT(kBeyondLimit, pack_position(kMaxPosition, kMaxPosition, kMaxPosition));
}

// The binding hands over the position of the keys Hl7Json writes without
// reading their text: it must be what reading the text gives.
TEST(PositionCode, OfAWrittenKeyIsOfItsText) {
  for (std::size_t field = 0; field < 300; ++field) {
    for (std::size_t repetition = 0; repetition < 20; ++repetition) {
      for (std::size_t component = 0; component < 40; ++component) {
        const std::size_t r = repetition == 19 ? Position::kNone : repetition;
        const Position key{field, r, component};
        ASSERT_EQ(position_code(key), position_code(key.text())) << key.text();
      }
    }
  }
  const Position past{100001, Position::kNone, 0};
  EXPECT_EQ(position_code(past), kBeyondLimit);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs record(std::initializer_list<std::pair<std::string, std::string>> pairs) { return pairs; }

RecordList record_list(const std::vector<Pairs>& records) {
  RecordList list;
  for (const Pairs& pairs : records) {
    list.begin_record();
    for (const auto& [key, value] : pairs) list.add(key, value);
    list.end_record();
  }
  return list;
}

Pairs pairs_of(std::span<const TextPair> record) {
  Pairs pairs;
  for (const TextPair& pair : record) pairs.emplace_back(pair.key, pair.value);
  return pairs;
}

std::string assemble(const std::vector<Pairs>& records, bool escape = false) {
  const auto text = JsonHl7(record_list(records)).convert(escape);
  return std::holds_alternative<std::string>(text) ? std::get<std::string>(text)
                                                   : "error: " + std::get<Hl7Error>(text).display();
}

struct AssemblyCase {
  std::vector<Pairs> records;
  std::string unescaped;
  std::string escaped;
  friend void PrintTo(const AssemblyCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.unescaped);
  }
};

class Assembly : public testing::TestWithParam<AssemblyCase> {};

TEST_P(Assembly, WritesTheLines) {
  EXPECT_EQ(assemble(GetParam().records, false), GetParam().unescaped);
  EXPECT_EQ(assemble(GetParam().records, true), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Assembly,
    testing::Values(
        AssemblyCase{{}, "", ""}, AssemblyCase{{record({})}, "", ""},
        AssemblyCase{{record({}), record({})}, "\n", "\n"},
        AssemblyCase{{record({{"segment_name", "EVN"}})}, "EVN", "EVN"},
        AssemblyCase{{record({{"1", "a"}})}, "a", "a"},
        AssemblyCase{{record({{"segment_name", "A"}, {"3", ""}})}, "A|||", "A|||"},
        AssemblyCase{{record({{"segment_name", "PID"},
                              {"1", "1"},
                              {"3", "12345"},
                              {"5.1", "Doe"},
                              {"5.2", "John"},
                              {"11[0].1", "Main St"},
                              {"11[1].1", "Side St"},
                              {"13[1]", "555"}})},
                     "PID|1||12345||Doe^John||||||Main St~Side St||~555",
                     "PID|1||12345||Doe^John||||||Main\\X20\\St~Side\\X20\\St||~555"},
        AssemblyCase{{record({{"segment_name", "PID"},
                              {"1", "1"},
                              {"2", ""},
                              {"3[0].1", "123"},
                              {"3[0].2", ""},
                              {"3[0].3", ""},
                              {"3[0].4", "HOSP"},
                              {"3[1]", "456"},
                              {"4", "A&B"}})},
                     "PID|1||123^^^HOSP~456|A&B",
                     "PID|1||123^^^HOSP~456|A\\T\\B"},
        AssemblyCase{{record({{"2", "A"}, {"2.3", "C"}})}, "|^^C", "|^^C"},
        AssemblyCase{{record({{"segment_name", "A"}, {"4[2]", "r2"}, {"4[0].2", "c2"}})},
                     "A||||^c2~~r2",
                     "A||||^c2~~r2"},
        AssemblyCase{{record({{"segment_name", "EVN"}}), record({}),
                      record({{"segment_name", "X"}, {"0", "z"}, {"0.1", "q"}, {"0[2]", "w"}})},
                     "EVN\n\nX",
                     "EVN\n\nX"},
        // Several keys for one position: the key that sorts last wins.
        AssemblyCase{{record({{"3", "b"}, {"3.0", "a"}})}, "||a", "||a"},
        AssemblyCase{{record({{"3", "x"}, {"3[0]", "y"}})}, "||y", "||y"},
        AssemblyCase{
            {record({{"3", "1"}, {"3.0", "2"}, {"3[0]", "3"}, {"3[0].0", "4"}})}, "||4", "||4"},
        AssemblyCase{{record({{"+3", "a"}, {"03", "b"}, {"3", "c"}})}, "||c", "||c"},
        AssemblyCase{{record({{"2", "A"}, {"2.1", "B"}})}, "|B", "|B"},
        AssemblyCase{{record({{"5", "w"}, {"5.2", "x"}, {"6", "v"}})}, "||||^x|v", "||||^x|v"},
        AssemblyCase{
            {record({{"+5", "x"}, {"-5", "y"}, {"5 ", "z"}, {"1e3", "w"}})}, "||||x", "||||x"},
        AssemblyCase{{record({{"4", "a^b"}})}, "|||a^b", "|||a\\S\\b"},
        // Fields past 9 and components past 9 come in key order out of
        // place; keys of one field apart ("1" ... "1[1]") are sorted whole.
        AssemblyCase{{record({{"segment_name", "S"},
                              {"1", "a"},
                              {"10", "j"},
                              {"2", "b"},
                              {"3.1", "c1"},
                              {"3.10", "c10"},
                              {"3.2", "c2"}})},
                     "S|a|b|c1^c2^^^^^^^^c10|||||||j",
                     "S|a|b|c1^c2^^^^^^^^c10|||||||j"},
        AssemblyCase{{record({{"1", "x"}, {"10", "t"}, {"1[1]", "y"}})},
                     "x~y|||||||||t",
                     "x~y|||||||||t"},
        AssemblyCase{{record({{"segment_name", "S"},
                              {"1", "a"},
                              {"100", "h"},
                              {"12.1", "x"},
                              {"12.10", "y"},
                              {"12.2", "z"},
                              {"2", "b"}})},
                     "S|a|b" + std::string(10, '|') + "x^z" + std::string(8, '^') + "y" +
                         std::string(88, '|') + "h",
                     "S|a|b" + std::string(10, '|') + "x^z" + std::string(8, '^') + "y" +
                         std::string(88, '|') + "h"},
        AssemblyCase{{record({{"11.1", "p"},
                              {"11.10", "q"},
                              {"11.11", "r"},
                              {"11.2", "s"},
                              {"4[0].10", "t"},
                              {"4[0].2", "o"},
                              {"4[1].1", "u"}})},
                     "|||^o^^^^^^^^t~u|||||||p^s^^^^^^^^q^r",
                     "|||^o^^^^^^^^t~u|||||||p^s^^^^^^^^q^r"},
        AssemblyCase{{record({{"5.1", "a"}, {"5.10", "j"}, {"5.2", "b"}, {"5[0].3", "c"}})},
                     "||||a^b^c^^^^^^^j",
                     "||||a^b^c^^^^^^^j"},
        AssemblyCase{{record({{"5", "w"}, {"5.10", "y"}, {"6", "v"}})},
                     "||||^^^^^^^^^y|v",
                     "||||^^^^^^^^^y|v"},
        AssemblyCase{{record({{"3.1", "a"}, {"3.100", "b"}, {"3.2", "c"}})},
                     "||a^c" + std::string(98, '^') + "b",
                     "||a^c" + std::string(98, '^') + "b"},
        // The header's encoding characters are written as they are, whole;
        // its other fields are escaped like any.
        AssemblyCase{{record({{"segment_name", "MSH"},
                              {"1", "^~\\&"},
                              {"2", "APP"},
                              {"9.1", "ADT"},
                              {"9.2", "A01"}})},
                     "MSH|^~\\&|APP|||||||ADT^A01",
                     "MSH|^~\\&|APP|||||||ADT^A01"},
        AssemblyCase{
            {record({{"segment_name", "MSH"}, {"1.1", ""}, {"1.2", "~\\&"}, {"2", "A B"}})},
            "MSH|^~\\&|A B",
            "MSH|^~\\&|A\\X20\\B"},
        AssemblyCase{{record({{"segment_name", "ZZZ"}, {"1", "^~\\&"}})},
                     "ZZZ|^~\\&",
                     "ZZZ|\\S\\\\R\\\\\\\\T\\"},
        // A segment name cannot inject fields or segments once escaped.
        AssemblyCase{
            {record({{"segment_name", "A|B\rC"}, {"1", "x"}})}, "A|B\rC|x", "A\\F\\B\\X0D\\C|x"}));

// Keys in byte order put repetitions in decimal-text order (0, 1, 10, 100,
// ...): they must come out in numeric order.
TEST(AssemblyOrder, ManyRepetitionsAndComponents) {
  Pairs pairs = {{"segment_name", "R"}};
  std::string expected = "R|";
  for (int r = 0; r < 1200; ++r) {
    pairs.emplace_back("1[" + std::to_string(r) + "].1", std::to_string(r));
    pairs.emplace_back("1[" + std::to_string(r) + "].12", "z");
    expected += (r ? "~" : "") + std::to_string(r) + std::string(11, '^') + "z";
  }
  EXPECT_EQ(assemble({pairs}), expected);
}

TEST(AssemblySizeBound, RefusesPositionsPastTheLimit) {
  EXPECT_EQ(assemble({record({{"segment_name", "PID"}, {"1000000000", "x"}})}),
            "error: HL7 field error in segment PID, field 1000000000: position 1000000000 "
            "exceeds the limit of 100000");
  EXPECT_EQ(assemble({record({{"segment_name", "PID"}, {"3[100001]", "x"}})}),
            "error: HL7 field error in segment PID, field 3: repetition 100001 exceeds the limit "
            "of 100000");
  EXPECT_EQ(assemble({record({{"3.100001", "x"}})}),
            "error: HL7 field error in segment , field 3: component 100001 exceeds the limit of "
            "100000");
  EXPECT_EQ(assemble({record({{"100000", "x"}})}).size(), 100000u);
}

// The text grows as it is written: past long runs of separators, and for
// values that escape to five times their size.
TEST(AssemblySizeBound, GrowsForSeparatorsAndEscapes) {
  EXPECT_EQ(assemble({record({{"segment_name", "PID"}, {"3001[001]", "x"}})}),
            "PID" + std::string(3001, '|') + "~x");
  std::string spaces;
  for (int i = 0; i < 100; ++i) spaces += "\\X20\\";
  EXPECT_EQ(assemble({record({{"1", std::string(100, ' ')}})}, true), spaces);
  // Each value after a separator of every kind: three bytes for one pair.
  Pairs moves;
  std::string moved;
  for (int field = 1; field <= 40; ++field) {
    moves.emplace_back(std::to_string(field) + "[1].2", "v");
    moved += field > 1 ? "|~^v" : "~^v";
  }
  EXPECT_EQ(assemble({moves}), moved);
}

// 11,000 short keys ask for 1.1 GB of component separators: refused at the
// field that passes the limit (3 + 100001 * 10738 bytes), before writing.
TEST(AssemblySizeBound, RefusesATextPastOneGibibyte) {
  Pairs pairs = {{"segment_name", "PID"}};
  for (int field = 1; field <= 11000; ++field) {
    pairs.emplace_back(std::to_string(field) + "[0].100000", "x");
  }
  const std::string refused =
      "error: HL7 field error in segment PID, field 10738: the assembled message would exceed "
      "1073741824 bytes";
  EXPECT_EQ(assemble({record({{"segment_name", "EVN"}}), pairs}, false), refused);
  EXPECT_EQ(assemble({pairs}, true), refused);
  // A position past its own limit in an earlier record is reported first.
  EXPECT_EQ(assemble({record({{"1.100001", "x"}}), pairs}),
            "error: HL7 field error in segment , field 1: component 100001 exceeds the limit of "
            "100000");
  // As many repetitions of one field, each far out in its components.
  Pairs repetitions = {{"segment_name", "PID"}};
  for (int repetition = 0; repetition < 11000; ++repetition) {
    repetitions.emplace_back("1[" + std::to_string(repetition) + "].100000", "x");
  }
  EXPECT_EQ(assemble({repetitions}),
            "error: HL7 field error in segment PID, field 1: the assembled message would exceed "
            "1073741824 bytes");
}

// Keys that name one position in many spellings are counted once: the text
// is 100 kB although each key alone could ask for as much.
TEST(AssemblySizeBound, CountsWhatIsWrittenNotWhatKeysCouldAsk) {
  Pairs pairs;
  for (const std::string sign : {"", "+"}) {
    for (std::string zeros; zeros.size() <= 80; zeros += '0') {
      for (std::string inner; inner.size() <= 80; inner += '0') {
        pairs.emplace_back(sign + zeros + "1[" + inner + "0]." + zeros + "100000", "x");
      }
    }
  }
  ASSERT_GT(pairs.size() * 100000, kMaxAssembledSize);
  EXPECT_EQ(assemble({pairs}), std::string(99999, '^') + "x");
  // 50,000 repetitions, whose numbers add up to 1.25 billion.
  Pairs repetitions;
  std::string expected;
  for (int repetition = 0; repetition < 50000; ++repetition) {
    repetitions.emplace_back("1[" + std::to_string(repetition) + "]", "r");
    expected += repetition == 0 ? "r" : "~r";
  }
  EXPECT_EQ(assemble({repetitions}), expected);
  // A field's last repetition and last component, far apart.
  EXPECT_EQ(assemble({record({{"1[100000]", "r"}, {"1.100000", "c"}})}),
            std::string(99999, '^') + "c" + std::string(100000, '~') + "r");
  // 20 MB of separators, in runs: counted, then written.
  Pairs far_components;
  std::string field_text = std::string(99999, '^') + "x";
  std::string line = field_text;
  far_components.emplace_back("1.100000", "x");
  for (int field = 2; field <= 200; ++field) {
    far_components.emplace_back(std::to_string(field) + ".100000", "x");
    line += "|" + field_text;
  }
  EXPECT_EQ(assemble({far_components}), line);
}

// Arrays of megabytes are mapped rather than allocated: they keep their
// contents as they grow and move.
TEST(LargeAllocator, KeepsContentsAcrossGrowthAndMoves) {
  std::vector<std::uint64_t, LargeAllocator<std::uint64_t>> numbers;
  for (std::uint64_t i = 0; i < 5'000'000; ++i) numbers.push_back(i);
  EXPECT_EQ(numbers[0], 0u);
  EXPECT_EQ(numbers[4'999'999], 4'999'999u);
  LargeBuffer buffer(40 << 20);
  buffer.data()[0] = 'a';
  buffer.data()[buffer.size() - 1] = 'z';
  const LargeBuffer moved = std::move(buffer);
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(moved.data()[0], 'a');
  EXPECT_EQ(moved.data()[moved.size() - 1], 'z');
}

TEST(RecordList, SortsByBytesAndKeepsTheLastOfEqualKeys) {
  const std::string big(100000, 'v');  // larger than an arena block
  const RecordList list = record_list(
      {{{"b", "1"}, {"a", "2"}, {"b", "3"}, {"\xC3\xA9", "4"}}, {}, {{"Z", big}, {"A", ""}}});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(pairs_of(list[0]), (Pairs{{"a", "2"}, {"b", "3"}, {"\xC3\xA9", "4"}}));
  EXPECT_TRUE(list[1].empty());
  EXPECT_EQ(pairs_of(list[2]), (Pairs{{"A", ""}, {"Z", big}}));
}

// Keys are ordered by their first eight bytes where those differ: keys
// alike that far, shorter keys, zero bytes and keys whose text outlives the
// list (and is not copied) must still come in byte order.
TEST(RecordList, OrdersKeysAlikeInTheirFirstBytes) {
  const std::vector<std::string> keys = {
      "abcdefgh2", "abcdefgh10", "abcdefgh", "abcdefgh1", std::string("a\0", 2), "a", "",
      "\xFF", "11[0].10", "11[0].1", "11[0].2", "1"};
  RecordList list;
  list.begin_record();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i % 2 == 0) {
      list.add(keys[i], std::to_string(i));
    } else {
      const KeyFacts facts{position_code(keys[i]), key_order(keys[i])};
      list.add_lasting_key(keys[i], std::to_string(i), facts);
    }
  }
  list.end_record();
  std::vector<std::string> sorted = keys;
  std::ranges::sort(sorted);
  std::vector<std::string> got;
  for (const TextPair& pair : list[0]) got.emplace_back(pair.key);
  EXPECT_EQ(got, sorted);
}

std::string read_json(std::string_view text) {
  auto result = records_from_json(text);
  if (auto* error = std::get_if<Hl7Error>(&result)) return error->display();
  const RecordList& records = std::get<RecordList>(result);
  std::string out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    out += '{';
    for (const auto& [key, value] : pairs_of(records[i])) out += key + "=" + value + ";";
    out += '}';
  }
  return out;
}

struct JsonCase {
  std::string text;
  std::string result;  // records as {k=v;...} or the error text
  friend void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.text);
  }
};

class ReadJson : public testing::TestWithParam<JsonCase> {};

TEST_P(ReadJson, RecordsOrErrors) { EXPECT_EQ(read_json(GetParam().text), GetParam().result); }

const std::string kInvalid = "HL7 invalid format: Invalid JSON: ";

INSTANTIATE_TEST_SUITE_P(
    Documents, ReadJson,
    testing::Values(
        JsonCase{"[]", ""}, JsonCase{"\n [ ] \n", ""}, JsonCase{"[{}]", "{}"},
        JsonCase{R"([{"b":"1","a":"2"},{"x":"\u00e9\n"}])", "{a=2;b=1;}{x=\xC3\xA9\n;}"},
        JsonCase{R"([{"1":"a","1":"b"}])", "{1=b;}"},
        JsonCase{R"([{"k":"\ud83d\ude00"}])", "{k=\xF0\x9F\x98\x80;}"},
        // Values of the wrong kind fail where they appear.
        JsonCase{R"([{"1": 5}])",
                 kInvalid + "invalid type: integer `5`, expected a string at line 1 column 8"},
        JsonCase{"{}", kInvalid + "invalid type: map, expected a sequence at line 1 column 1"},
        JsonCase{"[[]]", kInvalid + "invalid type: sequence, expected a map at line 1 column 2"},
        JsonCase{R"([{"a":null}])",
                 kInvalid + "invalid type: null, expected a string at line 1 column 7"},
        JsonCase{"[\n  true]",
                 kInvalid + "invalid type: boolean `true`, expected a map at line 2 column 3"},
        JsonCase{R"(["x\"y"])",
                 kInvalid + "invalid type: string \"x\\\"y\", expected a map at line 1 column 7"},
        JsonCase{
            "[-1.5]",
            kInvalid + "invalid type: floating point `-1.5`, expected a map at line 1 column 5"},
        JsonCase{R"([{"a":{}}])",
                 kInvalid + "invalid type: map, expected a string at line 1 column 7"},
        // Syntax failures.
        JsonCase{"[] x", kInvalid + "trailing characters at line 1 column 4"},
        JsonCase{"", kInvalid + "EOF while parsing a value at line 1 column 0"},
        JsonCase{"[", kInvalid + "EOF while parsing a list at line 1 column 1"},
        JsonCase{R"([{"a":"b")", kInvalid + "EOF while parsing an object at line 1 column 9"},
        JsonCase{R"([{"a":"b)", kInvalid + "EOF while parsing a string at line 1 column 8"},
        JsonCase{R"([{"a" "b"}])", kInvalid + "expected `:` at line 1 column 7"},
        JsonCase{R"([{"a":"b" "c"}])", kInvalid + "expected `,` or `}` at line 1 column 11"},
        JsonCase{R"([{} {}])", kInvalid + "expected `,` or `]` at line 1 column 5"},
        JsonCase{R"([{"a":"b",}])", kInvalid + "trailing comma at line 1 column 11"},
        JsonCase{R"([{},])", kInvalid + "trailing comma at line 1 column 5"},
        JsonCase{R"([{1:"b"}])", kInvalid + "key must be a string at line 1 column 3"},
        JsonCase{R"([{"a":"\q"}])", kInvalid + "invalid escape at line 1 column 9"},
        JsonCase{"[{\"a\":\"\x01\"}]",
                 kInvalid + "control character (\\u0000-\\u001F) found while parsing a string at "
                            "line 1 column 8"},
        JsonCase{R"([{"a":"\ud800"}])",
                 kInvalid + "lone leading surrogate in hex escape at line 1 column 14"},
        JsonCase{R"([{"a":"\ud800\u0041"}])",
                 kInvalid + "invalid unicode code point at line 1 column 16"},
        JsonCase{"[tru]", kInvalid + "expected ident at line 1 column 2"},
        JsonCase{R"([{"1": tru}])", kInvalid + "expected ident at line 1 column 8"},
        JsonCase{R"([{"1": @}])", kInvalid + "expected value at line 1 column 8"},
        JsonCase{"[-]", kInvalid + "invalid number at line 1 column 3"},
        // Numbers beyond the double range and leading zeros are syntax
        // failures wherever they stand.
        JsonCase{R"([{"1": 1e400}])", kInvalid + "number out of range at line 1 column 12"},
        JsonCase{"[-1e400]", kInvalid + "number out of range at line 1 column 7"},
        JsonCase{"\n1e400", kInvalid + "number out of range at line 2 column 5"},
        JsonCase{"[1.5e308]", kInvalid +
                                  "invalid type: floating point `1.5e+308`, expected a map at line "
                                  "1 column 8"},
        JsonCase{R"([{"1": 01}])", kInvalid + "invalid number at line 1 column 9"},
        JsonCase{"[00]", kInvalid + "invalid number at line 1 column 3"},
        JsonCase{"-01", kInvalid + "invalid number at line 1 column 3"},
        JsonCase{R"([{"1": "a", "2": -00}])", kInvalid + "invalid number at line 1 column 20"},
        JsonCase{"[@]", kInvalid + "expected value at line 1 column 2"}));

TEST(ReadJsonLimits, DeepNestingFailsAsAShapeError) {
  EXPECT_EQ(read_json(std::string(129, '[') + std::string(129, ']')),
            kInvalid + "invalid type: sequence, expected a map at line 1 column 2");
}

TEST(ReadJsonLimits, LongStringsAndManyMembers) {
  const std::string big(3'000'000, 'x');
  EXPECT_EQ(read_json("[{\"k\":\"" + big + "\"}]"), "{k=" + big + ";}");
  std::string many = "[{";
  for (int i = 0; i < 100000; ++i) many += (i ? ",\"" : "\"") + std::to_string(i) + "\":\"v\"";
  many += "}]";
  const auto records = std::get<RecordList>(records_from_json(many));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].size(), 100000u);
  EXPECT_TRUE(std::ranges::is_sorted(pairs_of(records[0])));
}

// Cutting a valid document anywhere gives an error, never records.
TEST(ReadJsonLimits, EveryTruncationFails) {
  const std::string document = R"( [ {"segment_name": "PID", "3[0].1": "a\"b\\c\u00e9"}, {} ] )";
  ASSERT_EQ(read_json(document), "{3[0].1=a\"b\\c\xC3\xA9;segment_name=PID;}{}");
  for (std::size_t length = 0; length + 2 < document.size(); ++length) {
    EXPECT_TRUE(read_json(document.substr(0, length)).starts_with(kInvalid)) << length;
  }
}

}  // namespace
}  // namespace mirabex
