#include "core/segments.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "core/line_scanner.hpp"
#include "core/utils.hpp"

namespace mirabex {

namespace {

bool contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

bool holds_encoding_characters(std::string_view text) {
  return text.find(kEncodingCharacters) != std::string_view::npos;
}

// Calls piece(text) for every piece of text cut at separator; n separators
// give n + 1 pieces, empty ones included.
template <class Piece>
void for_each_piece(std::string_view text, char separator, Piece&& piece) {
  for (;;) {
    const std::size_t cut = text.find(separator);
    if (cut == std::string_view::npos) break;
    piece(text.substr(0, cut));
    text.remove_prefix(cut + 1);
  }
  piece(text);
}

// The one-look parse tells delimiters apart by byte: they must differ from
// each other and from the zero bytes that pad a short line's block.
bool delimiters_tell_apart(char component, char repetition, char escape) {
  const auto usable = [](char c) { return c != '\0' && c != kFieldSeparator; };
  return usable(component) && usable(repetition) && usable(escape) && component != repetition &&
         component != escape && repetition != escape;
}

}  // namespace

namespace {

// The arrays of one destroyed segment, kept for the next one made on the
// thread. Arrays past kLargestKept bytes in all are let go: a huge line's
// are not held for good. The buffer of unescaped texts is not kept: held
// from call to call, it made dense escapes 1.5x slower.
struct SpareStorage {
  static constexpr std::size_t kLargestKept = 8 << 20;

  AppendArray<Hl7Field> fields;
  AppendArray<Hl7Field> repetitions;
  AppendArray<std::string_view> components;
  bool held = false;

  ~SpareStorage();
};

// Set when the thread's spare storage is destroyed, as the thread ends:
// segments destroyed after it free their own.
thread_local bool spare_storage_gone = false;
thread_local SpareStorage spare_storage;

SpareStorage::~SpareStorage() { spare_storage_gone = true; }

}  // namespace

Hl7Segment::Hl7Segment() {
  if (spare_storage_gone || !spare_storage.held) return;
  SpareStorage& spare = spare_storage;
  fields_ = std::move(spare.fields);
  repetitions_ = std::move(spare.repetitions);
  components_ = std::move(spare.components);
  spare.held = false;
  fields_.clear();
  repetitions_.clear();
  components_.clear();
}

Hl7Segment::~Hl7Segment() {
  const std::size_t bytes = (fields_.capacity() + repetitions_.capacity()) * sizeof(Hl7Field) +
                            components_.capacity() * sizeof(std::string_view);
  if (bytes == 0 || bytes > SpareStorage::kLargestKept || spare_storage_gone || spare_storage.held)
    return;
  SpareStorage& spare = spare_storage;
  spare.fields = std::move(fields_);
  spare.repetitions = std::move(repetitions_);
  spare.components = std::move(components_);
  spare.held = true;
}

Hl7Segment Hl7Segment::from_string(std::string_view line, const Hl7EscapeHandler* handler) {
  Hl7Segment segment;
  segment.parse(line, handler);
  return segment;
}

void Hl7Segment::parse(std::string_view line, const Hl7EscapeHandler* handler) {
  fields_.clear();
  repetitions_.clear();
  components_.clear();
  unescaped_size_ = 0;
  const char component = handler != nullptr ? handler->component_separator() : kComponentSeparator;
  const char repetition =
      handler != nullptr ? handler->repetition_separator() : kRepetitionSeparator;
  const char escape = handler != nullptr ? handler->escape_character() : kEscapeCharacter;
  if (!delimiters_tell_apart(component, repetition, escape)) {
    parse_any_line(line, handler);
    return;
  }
  // Fields that hold escapes are parsed one by one: these let that parse
  // look for repetitions and escapes in each field it is given.
  line_has_repetitions_ = true;
  line_has_escapes_ = handler != nullptr;
  const LineScanner scanner(kFieldSeparator, component, repetition, escape);
  if (line.size() >= kLongLine) make_room_for(line, scanner);
  cut_line(line, scanner, handler);
}

// Sizes the arrays for a long line, so that they are made once instead of
// grown and copied step by step: pages of memory fresh from the system
// cost more than the parse. The separators of the line's first
// kSampleBytes stand for the whole line (counting them all would make a
// line of encoded data twice as slow to parse), with an eighth more for
// a sample a little denser than the rest; the arrays still grow as needed.
void Hl7Segment::make_room_for(std::string_view line, const LineScanner& scanner) {
  constexpr std::size_t kSampleBytes = 4096;
  const DelimiterCounts sample = scanner.count(line.data(), kSampleBytes);
  const std::size_t parts = line.size() / kSampleBytes * 9 / 8 + 1;
  const std::size_t fields = parts * (sample.fields + 1);
  fields_.reserve(fields);
  repetitions_.reserve(fields + parts * sample.repetitions);
  components_.reserve(fields + parts * (sample.repetitions + sample.components));
}

namespace {

// What read(at) finds in the kWidth bytes of the line from block_start
// on; the last block of a line may be short.
template <class Read>
[[gnu::always_inline]] inline auto read_block(std::string_view line, std::size_t block_start,
                                              Read read) {
  constexpr std::size_t kWidth = LineScanner::kWidth;
  const std::size_t size = line.size();
  if (block_start + kWidth <= size) return read(line.data() + block_start);
  if (size >= kWidth) {  // read the last kWidth bytes, and drop those seen before
    return read(line.data() + size - kWidth)
        .without_first(static_cast<unsigned>(kWidth - (size - block_start)));
  }
  char block[kWidth] = {};
  std::memcpy(block, line.data() + block_start, size - block_start);
  return read(static_cast<const char*>(block));
}

// The index of the lowest set bit of a nonzero mask. gcc takes the builtin's
// int for a signed value and widens it again at every use.
[[gnu::always_inline]] inline std::size_t lowest_bit(std::uint64_t mask) {
#if defined(__x86_64__)
  std::uint64_t bit;
  asm("rep bsfq %1, %0" : "=r"(bit) : "rm"(mask) : "cc");
  return bit;
#else
  return static_cast<std::size_t>(__builtin_ctzll(mask));
#endif
}

BlockMarks block_marks(const LineScanner& scanner, std::string_view line, std::size_t block_start) {
  return read_block(line, block_start, [&](const char* at) { return scanner.marks(at); });
}

[[gnu::always_inline]] inline BlockCuts block_cuts(const LineScanner& scanner,
                                                   std::string_view line, std::size_t block_start) {
  return read_block(line, block_start, [&](const char* at) { return scanner.cuts(at); });
}

}  // namespace

void Hl7Segment::cut_line(std::string_view line, const LineScanner& scanner,
                          const Hl7EscapeHandler* handler) {
  // Segment names are short: the first block mostly holds the first field
  // separator.
  const BlockCuts first_block = block_cuts(scanner, line, 0);
  if (first_block.fields != 0) {
    const auto first_bar = static_cast<std::size_t>(__builtin_ctz(first_block.fields));
    name_ = line.substr(0, first_bar);
    const bool name_non_ascii = (first_block.non_ascii & ((1u << first_bar) - 1)) != 0;
    cut_fields(line, first_bar, name_non_ascii, scanner, handler);
    return;
  }
  const std::size_t first_bar = line.find(kFieldSeparator);
  name_ = line.substr(0, first_bar);
  if (first_bar == std::string_view::npos) {
    line_is_ascii_ = is_ascii(line);
    return;
  }
  cut_fields(line, first_bar, !is_ascii(name_), scanner, handler);
}

// Blocks are read from the first field on: the name's bytes are never cuts.
void Hl7Segment::cut_fields(std::string_view line, std::size_t first_bar, bool name_non_ascii,
                            const LineScanner& line_scanner, const Hl7EscapeHandler* handler) {
  // A copy of our own stays in registers: the scanner's delimiters would
  // be read again after every byte stored, which may alias them.
  const LineScanner scanner = line_scanner;
  OpenField open = open_field_at(first_bar + 1);
  std::uint32_t non_ascii = name_non_ascii ? 1 : 0;
  for (std::size_t block_start = first_bar + 1; block_start < line.size();) {
    const BlockCuts block = block_cuts(scanner, line, block_start);
    non_ascii |= block.non_ascii;
    if ((block.cuts | block.non_ascii) == 0) {
      block_start =
          scanner.end_of_plain_run(line.data(), block_start + LineScanner::kWidth, line.size());
    } else if (block.unusual == 0 && !open.repeated && !open.has_escape) {
      cut_plain_block(line, block_start, block.cuts, block.fields, open);
      block_start += LineScanner::kWidth;
    } else {
      // The full marks are read again only for a block that holds a
      // repetition or an escape, or that continues a field holding an escape.
      const BlockMarks marks = block.unusual != 0 || open.has_escape
                                   ? block_marks(scanner, line, block_start)
                                   : BlockMarks{};
      if (marks.escapes == 0 && !open.has_escape) {
        cut_repeated_block(line, block_start, block.cuts, block.fields, marks.repetitions, open);
        block_start += LineScanner::kWidth;
      } else {
        const std::size_t next = cut_block(line, block_start, marks, open, handler);
        // A field handed over whole is passed over without marks.
        if (next > block_start + LineScanner::kWidth &&
            !is_ascii(line.substr(block_start, next - block_start))) {
          non_ascii = 1;
        }
        block_start = next;
      }
    }
  }
  end_field(line, open, line.size(), handler);
  line_is_ascii_ = non_ascii == 0;
}

std::size_t Hl7Segment::cut_block(std::string_view line, std::size_t block_start,
                                  const BlockMarks& marks, OpenField& open,
                                  const Hl7EscapeHandler* handler) {
  for (std::uint32_t cuts = marks.fields | marks.components | marks.repetitions | marks.escapes;
       cuts != 0; cuts &= cuts - 1) {
    const auto bit = static_cast<unsigned>(__builtin_ctz(cuts));
    const std::size_t at = block_start + bit;
    if ((marks.components >> bit) & 1) {
      components_.push_back(line.substr(open.piece_start, at - open.piece_start));
      open.piece_start = at + 1;
    } else if ((marks.fields >> bit) & 1) {
      end_field(line, open, at, handler);
      open = open_field_at(at + 1);
    } else if ((marks.repetitions >> bit) & 1) {
      end_repetition(line, open, at);
    } else {
      open.has_escape = true;
      if (handler == nullptr) continue;
      // The field is unescaped and cut whole: the rest of its marks do not
      // matter. The look goes on from its end.
      return std::min(line.find(kFieldSeparator, at), line.size());
    }
  }
  return block_start + LineScanner::kWidth;
}

std::size_t Hl7Segment::cut_pieces(std::string_view line, std::size_t block_start,
                                   std::uint32_t cuts, OpenField& open, std::uint8_t* piece_after) {
  const char* const text = line.data();
  const char* const block = text + block_start;
  std::string_view* const pieces = components_.room_for(LineScanner::kWidth);
  const char* piece_start = text + open.piece_start;
  std::string_view* piece = pieces;
  std::uint8_t count = 0;
  for (std::uint64_t rest = cuts; rest != 0; rest &= rest - 1) {
    const std::size_t bit = lowest_bit(rest);
    const char* const at = block + bit;
    *piece++ = {piece_start, static_cast<std::size_t>(at - piece_start)};
    piece_after[bit] = ++count;
    piece_start = at + 1;
  }
  const std::size_t first_new_piece = components_.size();
  components_.end_at(piece);
  open.piece_start = static_cast<std::size_t>(piece_start - text);
  return first_new_piece;
}

void Hl7Segment::cut_plain_block(std::string_view line, std::size_t block_start, std::uint32_t cuts,
                                 std::uint32_t field_marks, OpenField& open) {
  std::uint8_t piece_after[LineScanner::kWidth];
  const std::size_t first_new_piece = cut_pieces(line, block_start, cuts, open, piece_after);
  if (field_marks == 0) return;
  // A field of one piece keeps that piece's index and a count of 1, which
  // reads as not split.
  const char* const text = line.data();
  const char* const block = text + block_start;
  Hl7Field* field = fields_.room_for(LineScanner::kWidth);
  std::size_t first_piece = open.first_component;
  const char* field_start = text + open.start;
  for (std::uint64_t rest = field_marks; rest != 0; rest &= rest - 1) {
    const std::size_t bit = lowest_bit(rest);
    const char* const at = block + bit;
    const std::size_t end_piece = first_new_piece + piece_after[bit];
    *field++ = {.value = {field_start, static_cast<std::size_t>(at - field_start)},
                .first_component = first_piece,
                .component_count = end_piece - first_piece};
    first_piece = end_piece;
    field_start = at + 1;
  }
  fields_.end_at(field);
  open.start = open.element_start = static_cast<std::size_t>(field_start - text);
  open.first_component_of_field = open.first_component = first_piece;
}

void Hl7Segment::cut_repeated_block(std::string_view line, std::size_t block_start,
                                    std::uint32_t cuts, std::uint32_t field_marks,
                                    std::uint32_t repetition_marks, OpenField& open_field) {
  std::uint8_t piece_after[LineScanner::kWidth];
  const std::size_t first_new_piece = cut_pieces(line, block_start, cuts, open_field, piece_after);
  // Where the open field stands, kept in registers through the loop.
  OpenField open = open_field;
  const char* const text = line.data();
  const std::size_t first_new_repetition = repetitions_.size();
  Hl7Field* const new_repetitions = repetitions_.room_for(LineScanner::kWidth);
  Hl7Field* repetition = new_repetitions;
  Hl7Field* field = fields_.room_for(LineScanner::kWidth);
  for (std::uint64_t rest = field_marks | repetition_marks; rest != 0; rest &= rest - 1) {
    const std::size_t bit = lowest_bit(rest);
    const std::size_t at = block_start + bit;
    const std::size_t end_piece = first_new_piece + piece_after[bit];
    const bool ends_repetition = ((repetition_marks >> bit) & 1) != 0;
    Hl7Field* const element = open.repeated || ends_repetition ? repetition++ : field++;
    *element = {.value = {text + open.element_start, at - open.element_start},
                .first_component = open.first_component,
                .component_count = end_piece - open.first_component};
    open.first_component = end_piece;
    open.element_start = at + 1;
    if (ends_repetition) {
      open.repeated = true;
      continue;
    }
    const std::size_t repetitions_end =
        first_new_repetition + static_cast<std::size_t>(repetition - new_repetitions);
    if (open.repeated) {
      *field++ = {.value = {text + open.start, at - open.start},
                  .first_repetition = open.first_repetition,
                  .repetition_count = repetitions_end - open.first_repetition};
    }
    open.start = at + 1;
    open.first_component_of_field = end_piece;
    open.first_repetition = repetitions_end;
    open.repeated = false;
  }
  repetitions_.end_at(repetition);
  fields_.end_at(field);
  open_field = open;
}

Hl7Segment::OpenField Hl7Segment::open_field_at(std::size_t start) const {
  return {.start = start,
          .element_start = start,
          .piece_start = start,
          .first_component_of_field = components_.size(),
          .first_component = components_.size(),
          .first_repetition = repetitions_.size()};
}

void Hl7Segment::end_element(Hl7Field& element, std::string_view line, const OpenField& open,
                             std::size_t end) {
  element.value = line.substr(open.element_start, end - open.element_start);
  if (components_.size() != open.first_component) {
    components_.push_back(line.substr(open.piece_start, end - open.piece_start));
    element.first_component = open.first_component;
    element.component_count = components_.size() - open.first_component;
  }
}

void Hl7Segment::end_repetition(std::string_view line, OpenField& open, std::size_t end) {
  end_element(repetitions_.emplace_back(), line, open, end);
  open.repeated = true;
  open.element_start = open.piece_start = end + 1;
  open.first_component = components_.size();
}

void Hl7Segment::end_field(std::string_view line, const OpenField& open, std::size_t end,
                           const Hl7EscapeHandler* handler) {
  // Without escaping, an escape character matters only in a repeated field.
  if (open.repeated || (open.has_escape && handler != nullptr)) {
    end_unusual_field(line, open, end, handler);
  } else {
    end_element(fields_.emplace_back(), line, open, end);
  }
}

void Hl7Segment::end_unusual_field(std::string_view line, const OpenField& open, std::size_t end,
                                   const Hl7EscapeHandler* handler) {
  const std::string_view text = line.substr(open.start, end - open.start);
  // Escapes are unescaped before components are cut; without escaping, a
  // field holding the encoding characters is never split.
  if (open.has_escape) {
    components_.shrink_to(open.first_component_of_field);
    repetitions_.shrink_to(open.first_repetition);
    if (handler != nullptr) make_unescaped_room(line.size());
    fields_.push_back(parse_field(text, handler));
    return;
  }
  // Written in place: a field built aside and copied in would be read back
  // before its stores have landed.
  end_element(repetitions_.emplace_back(), line, open, end);
  Hl7Field& field = fields_.emplace_back();
  field.value = text;
  field.first_repetition = open.first_repetition;
  field.repetition_count = repetitions_.size() - open.first_repetition;
}

void Hl7Segment::make_unescaped_room(std::size_t line_size) {
  if (unescaped_capacity_ >= line_size) return;
  // Views into the buffer would dangle: it grows only before the line's
  // first unescaped text.
  assert(unescaped_size_ == 0);
  unescaped_ = std::make_unique<char[]>(line_size);
  unescaped_capacity_ = line_size;
}

void Hl7Segment::parse_any_line(std::string_view line, const Hl7EscapeHandler* handler) {
  line_is_ascii_ = is_ascii(line);
  line_has_escapes_ = handler != nullptr && handler->has_escape(line);
  if (line_has_escapes_) make_unescaped_room(line.size());
  line_has_repetitions_ =
      contains(line, handler != nullptr ? handler->repetition_separator() : kRepetitionSeparator);
  const std::size_t first_bar = line.find(kFieldSeparator);
  name_ = line.substr(0, first_bar);
  if (first_bar == std::string_view::npos) return;
  for_each_piece(line.substr(first_bar + 1), kFieldSeparator,
                 [&](std::string_view text) { fields_.push_back(parse_field(text, handler)); });
}

std::string_view Hl7Segment::unescaped(std::string_view text, const Hl7EscapeHandler& handler) {
  if (!line_has_escapes_ || !handler.has_escape(text)) return text;
  char* const out = unescaped_.get() + unescaped_size_;
  const std::size_t length = handler.unescape_into(text, out);
  unescaped_size_ += length;
  return {out, length};
}

void Hl7Segment::split_components(Hl7Field& field, std::string_view text, std::size_t first_cut,
                                  char separator) {
  field.first_component = components_.size();
  components_.push_back(text.substr(0, first_cut));
  for_each_piece(text.substr(first_cut + 1), separator,
                 [&](std::string_view piece) { components_.push_back(piece); });
  field.component_count = components_.size() - field.first_component;
}

Hl7Field Hl7Segment::parse_field(std::string_view text, const Hl7EscapeHandler* handler) {
  const char repetition_separator =
      handler != nullptr ? handler->repetition_separator() : kRepetitionSeparator;
  if (line_has_repetitions_ && contains(text, repetition_separator) &&
      !holds_encoding_characters(text)) {
    Hl7Field field{.value = text};
    field.first_repetition = repetitions_.size();
    for_each_piece(text, repetition_separator, [&](std::string_view piece) {
      repetitions_.push_back(parse_element(piece, handler));
    });
    field.repetition_count = repetitions_.size() - field.first_repetition;
    return field;
  }
  // Without escaping the encoding characters keep a field whole; with
  // escaping the component split looks at the unescaped text alone.
  if (handler == nullptr && line_has_repetitions_ && holds_encoding_characters(text)) {
    return Hl7Field{.value = text};
  }
  return parse_element(text, handler);
}

Hl7Field Hl7Segment::parse_element(std::string_view text, const Hl7EscapeHandler* handler) {
  Hl7Field element;
  element.value = handler == nullptr ? text : unescaped(text, *handler);
  const char separator = handler == nullptr ? kComponentSeparator : handler->component_separator();
  if (const std::size_t cut = element.value.find(separator); cut != std::string_view::npos) {
    split_components(element, element.value, cut, separator);
  }
  return element;
}

std::size_t record_entry_count(const Hl7Segment& segment) {
  // A field or element not split into components still has one entry.
  const auto entries_of = [](const Hl7Field& element) {
    return element.has_components() ? element.component_count : 1;
  };
  std::size_t count = 1;  // "segment_name"
  for (const Hl7Field& field : segment.fields()) {
    if (!field.has_repetitions()) {
      count += entries_of(field);
      continue;
    }
    for (const Hl7Field& element : segment.repetitions(field)) count += entries_of(element);
  }
  return count;
}

Record to_json(const Hl7Segment& segment) {
  Record record;
  for_each_record_entry(segment, [&](const Position& key, std::string_view value) {
    record.emplace_back(key.text(), value);
  });
  record.emplace_back(kSegmentNameKey, segment.name());
  return record;
}

}  // namespace mirabex
