// HL7 text to records: line breaks normalised, the text cut into lines, each
// line parsed with and without escaping and turned into its record.
#include <algorithm>
#include <charconv>
#include <string>
#include <tuple>
#include <vector>

#include "core/hl7_json.hpp"
#include "core/segments.hpp"
#include "core/utils.hpp"
#include "fuzz_check.hpp"
#include "segment_reference.hpp"

namespace {

using namespace mirabex;

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  for (;;) {
    const std::size_t at = text.find(from);
    if (at == std::string_view::npos) break;
    out.append(text.substr(0, at)).append(to);
    text.remove_prefix(at + from.size());
  }
  return out.append(text);
}

// The three passes that replace_eof fuses into one, written plainly.
std::string replace_eof_in_three_passes(std::string_view text) {
  std::string out = replace_all(replace_all(text, "\r\n", "\n"), "\n\r", "\n");
  std::ranges::replace(out, '\r', '\n');
  return out;
}

void check_lines(std::string_view text) {
  std::string joined;
  std::size_t count = 0;
  for (const std::string_view line : Lines(text)) {
    if (count++ > 0) joined += '\n';
    joined += line;
  }
  FUZZ_CHECK(count == static_cast<std::size_t>(std::ranges::count(text, '\n')) + 1);
  FUZZ_CHECK(joined == text);
}

// Position keys in strictly ascending byte order, then the segment name.
void check_key_order(const Record& record, std::string_view name) {
  FUZZ_CHECK(!record.empty());
  FUZZ_CHECK(record.back().first == kSegmentNameKey && record.back().second == name);
  for (std::size_t i = 1; i < record.size(); ++i) {
    FUZZ_CHECK(record[i - 1].first < record[i].first);
  }
}

std::size_t read_number(std::string_view& text) {
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  FUZZ_CHECK(ec == std::errc() && end != text.data());
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

// "k", "k.c", "k[r]" or "k[r].c" read back into its numbers.
Position read_key(std::string_view text) {
  Position key;
  key.field = read_number(text);
  if (text.starts_with('[')) {
    text.remove_prefix(1);
    key.repetition = read_number(text);
    FUZZ_CHECK(text.starts_with(']'));
    text.remove_prefix(1);
  }
  if (text.starts_with('.')) {
    text.remove_prefix(1);
    key.component = read_number(text);
    FUZZ_CHECK(key.component != 0);
  }
  FUZZ_CHECK(text.empty());
  return key;
}

struct Entry {
  Position key;
  std::string_view value;
  bool operator==(const Entry&) const = default;
};

// The entries of a segment's record as numbers, without the key texts.
std::vector<Entry> entries_of(const Hl7Segment& segment) {
  std::vector<Entry> entries;
  for_each_record_entry(segment, [&](const Position& key, std::string_view value) {
    entries.push_back({key, value});
  });
  return entries;
}

// The line a plain-mode record came from: its values joined again with the
// separators that its keys name. Fields count from 1, repetitions from 0 and
// components from 1 with no gap; a value under no component fills its
// field or repetition alone.
std::string rebuild_line(const Record& record) {
  std::vector<Entry> entries;
  for (std::size_t i = 0; i + 1 < record.size(); ++i) {
    entries.push_back({read_key(record[i].first), record[i].second});
  }
  std::ranges::sort(entries, {}, [](const Entry& e) {
    return std::tuple(e.key.field, e.key.repetition, e.key.component);
  });
  std::string line = record.back().second;
  const Entry* previous = nullptr;
  for (const Entry& entry : entries) {
    const Position& key = entry.key;
    if (previous == nullptr || key.field != previous->key.field) {
      FUZZ_CHECK(key.field == (previous != nullptr ? previous->key.field : 0) + 1);
      FUZZ_CHECK(key.repetition == Position::kNone || key.repetition == 0);
      FUZZ_CHECK(key.component <= 1);
      line += '|';
    } else if (key.repetition != previous->key.repetition) {
      FUZZ_CHECK(previous->key.repetition != Position::kNone);
      FUZZ_CHECK(key.repetition == previous->key.repetition + 1);
      FUZZ_CHECK(key.component <= 1);
      line += '~';
    } else {
      FUZZ_CHECK(previous->key.component >= 1 && key.component == previous->key.component + 1);
      line += '^';
    }
    line += entry.value;
    previous = &entry;
  }
  return line;
}

}  // namespace

extern "C" int MIRABEX_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text(data, size);
  const std::string text = replace_eof(std::string(input));
  FUZZ_CHECK(text == replace_eof_in_three_passes(input));
  check_lines(text);

  const Hl7EscapeHandler& handler = default_escape_handler();
  Hl7Segment reused;  // parse() keeps its storage from line to line
  for (const std::string_view line : Lines(text)) {
    const Hl7Segment plain = Hl7Segment::from_string(line, nullptr);
    FUZZ_CHECK(segment_reference::describe(plain) ==
               segment_reference::describe_by_splitting(line, nullptr));
    FUZZ_CHECK(plain.line_is_ascii() == is_ascii(line));
    const Record plain_record = to_json(plain);
    check_key_order(plain_record, plain.name());
    FUZZ_CHECK(rebuild_line(plain_record) == line);

    const Hl7Segment escaped = Hl7Segment::from_string(line, &handler);
    FUZZ_CHECK(segment_reference::describe(escaped) ==
               segment_reference::describe_by_splitting(line, &handler));
    const Record escaped_record = to_json(escaped);
    check_key_order(escaped_record, escaped.name());
    reused.parse(line, &handler);
    FUZZ_CHECK(reused.name() == escaped.name() && entries_of(reused) == entries_of(escaped));
    // Without an escape character there is nothing to unescape, and the
    // encoding characters (which hold one) cannot occur: both modes agree.
    if (!handler.has_escape(line)) FUZZ_CHECK(escaped_record == plain_record);
  }
  return 0;
}
