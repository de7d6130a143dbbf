#include "core/utils.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace mirabex {
namespace {

// The three passes as written out, each a left-to-right replacement without
// overlap: the plain version the fused normaliser is compared against.
std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; (hit = text.find(from, pos)) != std::string::npos;
       pos = hit + from.size()) {
    out.append(text, pos, hit - pos);
    out += to;
  }
  out.append(text, pos);
  return out;
}

std::string replace_eof_in_three_passes(std::string text) {
  return replace_all(replace_all(replace_all(std::move(text), "\r\n", "\n"), "\n\r", "\n"), "\r",
                     "\n");
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  for (const std::string_view line : Lines(text)) lines.emplace_back(line);
  return lines;
}

struct EolCase {
  std::string input;
  std::string normalised;
  std::vector<std::string> lines;
  friend void PrintTo(const EolCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.input.substr(0, 60));
  }
};

class ReplaceEof : public testing::TestWithParam<EolCase> {};

TEST_P(ReplaceEof, NormalisesAndCuts) {
  const std::string normalised = replace_eof(GetParam().input);
  EXPECT_EQ(normalised, GetParam().normalised);
  EXPECT_EQ(lines_of(normalised), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    LineBreaks, ReplaceEof,
    testing::Values(
        EolCase{"A\r\nB", "A\nB", {"A", "B"}}, EolCase{"A\n\rB", "A\nB", {"A", "B"}},
        EolCase{"A\rB", "A\nB", {"A", "B"}}, EolCase{"A\r\rB", "A\n\nB", {"A", "", "B"}},
        EolCase{"A\r\n\r\nB", "A\n\nB", {"A", "", "B"}}, EolCase{"A\r\n\rB", "A\nB", {"A", "B"}},
        EolCase{"A\n\r\nB", "A\n\nB", {"A", "", "B"}},
        EolCase{"MSH|1\rPID|2\r", "MSH|1\nPID|2\n", {"MSH|1", "PID|2", ""}},
        EolCase{"no break", "no break", {"no break"}}, EolCase{"", "", {""}},
        EolCase{"\r", "\n", {"", ""}}, EolCase{"\n\r", "\n", {"", ""}},
        EolCase{"\r\r\n", "\n\n", {"", "", ""}}, EolCase{"\n\r\r", "\n\n", {"", "", ""}},
        EolCase{" A\t\r", " A\t\n", {" A\t", ""}}));

// Every text of up to eight characters over {A, CR, LF}: the fused
// normaliser equals the three passes, holds no CR and never lengthens.
TEST(ReplaceEofProperty, EqualsThreePassesOnEveryShortText) {
  const char alphabet[] = {'A', '\r', '\n'};
  for (std::size_t length = 0; length <= 8; ++length) {
    std::size_t count = 1;
    for (std::size_t i = 0; i < length; ++i) count *= 3;
    for (std::size_t n = 0; n < count; ++n) {
      std::string text;
      for (std::size_t i = 0, rest = n; i < length; ++i, rest /= 3) text += alphabet[rest % 3];
      const std::string fused = replace_eof(text);
      ASSERT_EQ(fused, replace_eof_in_three_passes(text)) << testing::PrintToString(text);
      ASSERT_EQ(fused.find('\r'), std::string::npos);
      ASSERT_LE(fused.size(), text.size());
    }
  }
}

TEST(Lines, CountsOneMoreLineThanLineFeeds) {
  EXPECT_EQ(lines_of("\n\n"), (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(lines_of("a\nb"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(std::ranges::distance(Lines("x\ny\n")), 3);
}

struct Utf8Case {
  std::string text;
  bool valid;
  friend void PrintTo(const Utf8Case& c, std::ostream* os) {
    *os << testing::PrintToString(c.text.substr(0, 60));
  }
};

class Utf8Validity : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validity, MatchesUtf8Rules) {
  EXPECT_EQ(is_valid_utf8(GetParam().text), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Validity,
    testing::Values(Utf8Case{"", true}, Utf8Case{"plain", true}, Utf8Case{"caf\xC3\xA9", true},
                    Utf8Case{"\xE2\x82\xAC", true}, Utf8Case{"\xF0\x9F\x98\x80", true},
                    Utf8Case{std::string("a\0b", 3), true}, Utf8Case{"\xC3", false},
                    Utf8Case{"\xC0\xAF", false},          // overlong
                    Utf8Case{"\xE0\x80\xAF", false},      // overlong
                    Utf8Case{"\xED\xA0\x80", false},      // surrogate
                    Utf8Case{"\xF4\x90\x80\x80", false},  // above U+10FFFF
                    Utf8Case{"\xFF", false}, Utf8Case{"\x80", false}, Utf8Case{"\xE2\x82", false}));

TEST(Utf8Decode, ReportsCodeAndLength) {
  const Utf8Char euro = decode_utf8("x\xE2\x82\xAC", 1);
  EXPECT_EQ(euro.code, 0x20AC);
  EXPECT_EQ(euro.length, 3u);
  EXPECT_TRUE(euro.valid);
  const Utf8Char broken = decode_utf8("\xE2\x82", 0);
  EXPECT_EQ(broken.length, 1u);
  EXPECT_FALSE(broken.valid);
}

TEST(Blank, TrimsUnicodeWhiteSpace) {
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank(" \t\r\n\v\f"));
  EXPECT_TRUE(is_blank("\xC2\xA0\xE3\x80\x80\xE2\x80\xA8"));  // NBSP, ideographic space, LS
  EXPECT_FALSE(is_blank("\xEF\xBB\xBF"));  // a byte-order mark is not white space
  EXPECT_FALSE(is_blank("  x  "));
  EXPECT_FALSE(is_blank(std::string(1, '\0')));
}

class ReadTextFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("mirabex_utils_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(ReadTextFile, ReadsTheWholeFile) {
  const std::string content = "MSH|^~\\&\r" + std::string(200000, 'x') + "\xC3\xA9";
  const auto result = read_text_file(write("big.hl7", content));
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_EQ(std::get<std::string>(result), content);
  EXPECT_EQ(std::get<std::string>(read_text_file(write("empty", ""))), "");
}

TEST_F(ReadTextFile, ReportsTheSystemError) {
  const auto missing = read_text_file((dir_ / "missing").string());
  ASSERT_TRUE(std::holds_alternative<IoError>(missing));
  EXPECT_EQ(std::get<IoError>(missing).display(), "No such file or directory (os error 2)");
  const auto directory = read_text_file(dir_.string());
  ASSERT_TRUE(std::holds_alternative<IoError>(directory));
  EXPECT_EQ(std::get<IoError>(directory).display(), "Is a directory (os error 21)");
}

TEST_F(ReadTextFile, RefusesANameWithANul) {
  const std::string path = write("real", "x");
  const auto result = read_text_file(path + std::string(1, '\0') + "ignored");
  ASSERT_TRUE(std::holds_alternative<IoError>(result));
  EXPECT_EQ(std::get<IoError>(result).display(), "file name contained an unexpected NUL byte");
}

TEST_F(ReadTextFile, RefusesBytesThatAreNotUtf8) {
  const auto result = read_text_file(write("latin1.hl7", "PID|M\xFCller"));
  ASSERT_TRUE(std::holds_alternative<IoError>(result));
  EXPECT_EQ(std::get<IoError>(result).display(), "stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace mirabex
