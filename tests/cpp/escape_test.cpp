#include "core/escape.hpp"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "core/escape_scanner.hpp"

namespace mirabex {
namespace {

const Hl7EscapeHandler& handler() {
  static const Hl7EscapeHandler instance = create_default_escape_handler();
  return instance;
}

struct TextCase {
  std::string input;
  std::string output;
  friend void PrintTo(const TextCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.input.substr(0, 60));
  }
};

class Escape : public testing::TestWithParam<TextCase> {};
TEST_P(Escape, WritesSequences) {
  EXPECT_EQ(handler().escape(GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, Escape,
    testing::Values(TextCase{"", ""}, TextCase{"plain", "plain"},
                    TextCase{"a|b^c~d&e", "a\\F\\b\\S\\c\\R\\d\\T\\e"}, TextCase{"a\\b", "a\\\\b"},
                    TextCase{"a b", "a\\X20\\b"}, TextCase{"a\tb", "a\\X09\\b"},
                    TextCase{"a\r\nb", "a\\X0D\\\\X0A\\b"}, TextCase{"caf\xC3\xA9", "caf\xC3\xA9"},
                    TextCase{"^~\\&", "\\S\\\\R\\\\\\\\T\\"},
                    TextCase{std::string("\0\x01", 2), std::string("\0\x01", 2)}));

class Unescape : public testing::TestWithParam<TextCase> {};
TEST_P(Unescape, ReplacesKnownCodes) {
  EXPECT_EQ(handler().unescape(GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Unescape,
    testing::Values(TextCase{"", ""}, TextCase{"x\\F\\y", "x|y"},
                    TextCase{"\\S\\\\R\\\\T\\", "^~&"}, TextCase{"a\\E\\b", "a\\b"},
                    TextCase{"a\\\\b", "a\\b"}, TextCase{"\\X20\\\\X09\\", " \t"},
                    TextCase{"a\\X0D0A\\b", "a\r\nb"}, TextCase{"a\\X0A\\\\X0D\\", "a\n\r"},
                    // The closing escape character is optional; a code ends at the
                    // first character that is not a letter or digit.
                    TextCase{"x\\F", "x|"}, TextCase{"x\\F y", "x| y"}, TextCase{"x\\F-y", "x|-y"},
                    TextCase{"abc\\", "abc\\"}, TextCase{"\\", "\\"}, TextCase{"\\\\F\\", "\\F\\"},
                    // Unknown codes are kept exactly as written, closing character and all.
                    TextCase{"x\\H\\y", "x\\H\\y"}, TextCase{"x\\.br\\y", "x\\.br\\y"},
                    TextCase{"x\\Fabc\\y", "x\\Fabc\\y"}, TextCase{"a\\X0A0D\\b", "a\\X0A0D\\b"},
                    TextCase{"x\\f\\y", "x\\f\\y"}, TextCase{"x\\H", "x\\H"},
                    TextCase{"\\^\\", "\\^\\"}, TextCase{"\\H\\bold\\N\\", "\\H\\bold\\N\\"},
                    TextCase{"\\70_105", "\\70_105"},
                    // Letters and digits of every script continue a code; other
                    // characters end it.
                    TextCase{"x\\F\xC3\xA9\\y", "x\\F\xC3\xA9\\y"},        // é
                    TextCase{"x\\F\xD9\xA3\\y", "x\\F\xD9\xA3\\y"},        // Arabic-Indic three
                    TextCase{"x\\F\xE2\x82\xAC\\y", "x|\xE2\x82\xAC\\y"},  // € ends the code
                    // Bytes that are not UTF-8 end a code and pass through.
                    TextCase{"\\F\xFF", "|\xFF"}, TextCase{"\\\xFF\\", "\\\xFF\\"}));

TEST(EscapeRoundTrip, UnescapeUndoesEscapeOnEveryShortText) {
  const std::vector<std::string> alphabet = {"a",  "|",  "^", "~", "\\", "&", "\t",
                                             "\n", "\r", " ", "F", "X",  "0", "\xC3\xA9"};
  std::vector<std::string> texts = {""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const auto& text : texts) {
      for (const auto& c : alphabet) longer.push_back(text + c);
    }
    for (const auto& text : longer) {
      const std::string escaped = handler().escape(text);
      ASSERT_EQ(handler().unescape(escaped), text) << testing::PrintToString(text);
      ASSERT_EQ(escaped.size(), handler().escaped_size(text));
    }
    texts = std::move(longer);
  }
}

TEST(EscapeRoundTrip, HoldsOnRandomBytes) {
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int n = 0; n < 2000; ++n) {
    std::string text(static_cast<std::size_t>(n % 64), '\0');
    for (char& c : text) c = static_cast<char>(byte(random));
    ASSERT_EQ(handler().unescape(handler().escape(text)), text);
    ASSERT_LE(handler().unescape(text).size(), text.size());
  }
}

// The scanner stops exactly at the first delimiter, escape character or
// byte up to the space, whichever the handler's delimiters are.
TEST(EscapeScanner, StopsAtTheFirstByteEscapingMayChange) {
  const std::string delimiter_sets[] = {"|^~\\&", "^|\\~&", "#*@%!", "|^~!&", "||~\\&"};
  for (const std::string& set : delimiter_sets) {
    const Hl7EscapeHandler custom({}, set[0], set[1], set[2], set[3], set[4]);
    const EscapeScanner scanner(custom);
    for (int byte = 0; byte < 256; ++byte) {
      const char c = static_cast<char>(byte);
      const bool stops = set.find(c) != std::string::npos || byte <= ' ';
      for (const std::size_t at : {0, 7, 15, 16, 19}) {
        std::string text(20 + TextArena::kReadPadding, 'a');
        text[at] = c;
        const std::string_view value(text.data(), 20);
        const std::size_t expected = stops ? at : value.size();
        ASSERT_EQ(scanner.first_candidate(value), expected)
            << set << " byte " << byte << " at " << at;
        char out[16];
        const std::string_view tail = value.substr(4);
        ASSERT_EQ(scanner.copy_short_and_find(tail, out), at >= 4 && stops ? at - 4 : 16)
            << set << " byte " << byte << " at " << at;
      }
    }
  }
}

TEST(ParseFieldWithEscaping, CutsTheUnescapedText) {
  using Parts = std::vector<std::string>;
  EXPECT_EQ(handler().parse_field_with_escaping("a^b"), (Parts{"a", "b"}));
  EXPECT_EQ(handler().parse_field_with_escaping("a\\S\\b"), (Parts{"a", "b"}));
  EXPECT_EQ(handler().parse_field_with_escaping(""), (Parts{""}));
  EXPECT_EQ(handler().parse_field_with_escaping("^"), (Parts{"", ""}));
  EXPECT_EQ(handler().parse_field_with_escaping("^~\\&"), (Parts{"", "~\\&"}));
}

TEST(DefaultHandler, HoldsTheStandardTable) {
  const Hl7EscapeHandler& h = handler();
  EXPECT_EQ(h.escape_sequences().size(), 10u);
  EXPECT_EQ(h.escape_sequences().at("X0D0A"), "\r\n");
  EXPECT_EQ(std::string({h.field_separator(), h.component_separator(), h.repetition_separator(),
                         h.escape_character(), h.subcomponent_separator()}),
            "|^~\\&");
  EXPECT_TRUE(h.unescapes_ascii_to_ascii());
  EXPECT_FALSE(Hl7EscapeHandler({{"AB", "\xC3\xA9"}}, '|', '^', '~', '\\', '&')
                   .unescapes_ascii_to_ascii());
}

TEST(HandlerInvariants, RefusesWhatUnescapingCannotHold) {
  EXPECT_THROW(Hl7EscapeHandler({{"A", "too long"}}, '|', '^', '~', '\\', '&'),
               std::invalid_argument);
  EXPECT_THROW(Hl7EscapeHandler({}, '\xC3', '^', '~', '\\', '&'), std::invalid_argument);
}

TEST(Alphanumeric, FollowsUnicodeProperties) {
  for (char32_t c : {U'a', U'Z', U'0', U'\u00E9', U'\u0663', U'\u4E2D', U'\u00B2', U'\u0345',
                     U'\u2160', U'\U0001D7CE'}) {
    EXPECT_TRUE(is_unicode_alphanumeric(c)) << static_cast<unsigned>(c);
  }
  for (char32_t c : {U'-', U'_', U' ', U'\\', U'\u20AC', U'\u0300', U'\u00A0', U'\U0010FFFF'}) {
    EXPECT_FALSE(is_unicode_alphanumeric(c)) << static_cast<unsigned>(c);
  }
}

}  // namespace
}  // namespace mirabex
