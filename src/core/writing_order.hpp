// The order in which a record's values are written: by position, each
// value that another overrides left out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "core/position.hpp"
#include "core/record_list.hpp"

namespace mirabex {

struct PlacedValue {
  PositionCode position;
  std::string_view value;
};

// Sorts the values of one field by position, stably: among values for one
// position the last stays last. They come in byte order of their keys: a
// few are out of place ("1.10" before "1.2"), many repetitions are in
// decimal-text order.
void sort_field(std::span<PlacedValue> values);

// Sorts by position, stably. Keys arrive in byte order ("1", "10", "11",
// "2"), so values come grouped by field but not in field order: a counting
// sort by field puts them in order in two moves each, and each field's few
// values are then ordered in place.
class PositionSorter {
 public:
  std::span<PlacedValue> sort(std::span<PlacedValue> placed, std::uint64_t last_field);

 private:
  std::vector<std::size_t> starts_;
  std::vector<PlacedValue> sorted_;
};

// Visits a record's values in writing order, leaving out each value that
// gives way to another: to the next one for the same position, or, for a
// value that fills a whole repetition (component 0), to any component of
// it. Keys come in byte order ("1", "10", "11", "2"), which keeps each
// field's keys together, and in position order within the field as long
// as numbers stay below ten: reading notes each field's pairs in a table by
// field number, the visit walks the table, and only the values of a field
// out of order are moved, to be sorted. A record whose field's keys lie
// apart, or whose fields are few and far apart, is sorted whole.
class WritingOrder {
 public:
  // Fails for a key that names a position past the limit.
  std::optional<Hl7Error> read(std::span<const TextPair> record);

  std::optional<std::string_view> name() const { return name_; }

  // Writes a record's values straight from its pairs when their byte order
  // already is the writing order but for counts of digits: keys of fields
  // 1 to 9 come in order, and so do those of fields 10 to 99 among
  // themselves ("1", "10", "11", "2"), so fields of one digit are written
  // at once and the others after them, in a second pass over the pairs
  // from the first of them to the last; components from 10 on are held
  // back to the end of their repetition ("5.1", "5.10", "5.2"). False,
  // having written some values perhaps, as soon as a value is not past the
  // last one written (keys out of order, two keys for one place, a value
  // for a whole repetition given way to a component of it, fields from 100
  // on among those of two digits, components from 100 on, repetitions from
  // 10 on) or a key names a position past the limit: read and visit then
  // write the record afresh. The name is written first by the caller.
  template <class Writer>
  bool put_in_key_order(std::span<const TextPair> record, Writer& writer) {
    if (held_components_.size() < record.size()) held_components_.resize(record.size());
    KeyOrderPut put(writer, held_components_.data());
    typename Writer::Run run(writer);
    const TextPair* const end = record.data() + record.size();
    const TextPair* first_later = end;
    const TextPair* last_later = end;
    for (const TextPair* pair = record.data(); pair != end; ++pair) {
      const PositionCode code = pair->position;
      if (field_of(code) - 1 >= 9) [[unlikely]] {
        if (code == kBeyondLimit) return false;
        // Field 0 is never written; nor are keys that name no position.
        if (field_of(code) == 0 || code == kNoPosition) continue;
        if (first_later == end) first_later = pair;
        last_later = pair;
        continue;
      }
      if (!put(run, *pair)) return false;
    }
    if (first_later != end) {
      for (const TextPair* pair = first_later; pair <= last_later; ++pair) {
        const PositionCode code = pair->position;
        if (field_of(code) < 10 || code == kNoPosition) continue;
        if (!put(run, *pair)) return false;
      }
    }
    run.end();
    return put.finish();
  }

  // The segment name of a record: the value of its "segment_name" key.
  static std::optional<std::string_view> name_of(std::span<const TextPair> record);

  // Calls writer.put(code, value) for each value in writing order. Call
  // once after each read.
  template <class Writer>
  void visit(Writer& writer) {
    if (by_field_) {
      visit_fields(writer);
    } else {
      clear_fields();
      put_sorted(sorter_.sort(place(record_), last_field_), writer);
    }
  }

 private:
  // The pairs of one field, some of which may name no position. Pair
  // indexes are counted from 1 in `begin`, so that 0 marks no field.
  struct FieldPairs {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    bool in_order = true;
  };

  // The pairs that name a position to write (field 0 is never written),
  // copied for sorting.
  std::span<PlacedValue> place(std::span<const TextPair> pairs) {
    if (placed_.size() < pairs.size()) placed_.resize(pairs.size());
    std::size_t count = 0;
    for (const TextPair& pair : pairs) {
      if (pair.position < kBeyondLimit && field_of(pair.position) != 0) {
        placed_[count++] = {pair.position, pair.value};
      }
    }
    return std::span(placed_).first(count);
  }

  // Puts values in the order they come, but for components from 10 on,
  // which wait for the end of their repetition; refuses a value that would
  // not follow the last one put.
  template <class Writer>
  class KeyOrderPut {
   public:
    KeyOrderPut(Writer& writer, const TextPair** held) : writer_(writer), held_(held) {}

    // `run` holds the writer's state while values follow at once: it is
    // ended for any other value, and resumed after it.
    [[gnu::always_inline]] bool operator()(typename Writer::Run& run, const TextPair& pair) {
      // Most values follow the last one at once, some of them while
      // components are held (whose order put() checks as they come out).
      if (run.put_next(pair.position, pair.value, held_count_ != 0)) [[likely]] {
        last_ = pair.position;
        return true;
      }
      run.end();
      const bool put = put_slowly(pair);
      run.resume();
      return put;
    }

    // Puts the values still held.
    bool finish() {
      for (std::size_t i = 0; i < held_count_; ++i) {
        if (!put(*held_[i])) return false;
      }
      held_count_ = 0;
      return true;
    }

   private:
    [[gnu::noinline]] bool put_slowly(const TextPair& pair) {
      const PositionCode code = pair.position;
      if ((code & kPositionPartMask) >= 10) return hold(pair);
      return finish_before(code) && put(pair);
    }

    bool hold(const TextPair& pair) {
      if ((pair.position & kPositionPartMask) >= 100 || !finish_before(pair.position)) {
        return false;
      }
      held_[held_count_++] = &pair;
      return true;
    }

    // Puts the values held when `code` is of another repetition than
    // theirs, which they must come before.
    [[gnu::always_inline]] bool finish_before(PositionCode code) {
      return held_count_ == 0 || same_repetition(code, held_[0]->position) || finish();
    }

    [[gnu::always_inline]] bool put(const TextPair& pair) {
      const PositionCode code = pair.position;
      // Past the last one, which is no value for a whole repetition that
      // gives way to a component of it.
      if (code <= last_ || (fills_repetition(last_) && same_repetition(last_, code))) {
        return false;
      }
      writer_.put(code, pair.value);
      last_ = code;
      return true;
    }

    Writer& writer_;
    const TextPair** held_;
    std::size_t held_count_ = 0;
    PositionCode last_ = 0;
  };

  // Empties the table's entries that reading may have filled.
  void clear_fields();

  template <class Writer>
  void visit_fields(Writer& writer) {
    fields_[0] = {};  // field 0 is never written
    for (std::uint64_t field = 1; field <= last_field_; ++field) {
      const FieldPairs pairs = fields_[field];
      if (pairs.begin == 0) continue;
      fields_[field] = {};
      if (!pairs.in_order) {
        put_field_sorted(pairs, writer);
        continue;
      }
      for (std::size_t i = pairs.begin - 1; i < pairs.end; ++i) {
        const TextPair& pair = record_[i];
        if (pair.position < kBeyondLimit) writer.put(pair.position, pair.value);
      }
    }
  }

  // A field of one repetition with components out of text order ("5.1",
  // "5.10", "5.2"), placed by component number in a small table: no value
  // moves. False, having written nothing, for any other field.
  template <class Writer>
  bool put_components_in_place(std::span<const TextPair> field_pairs, Writer& writer) {
    constexpr std::size_t kComponents = 64;
    std::array<std::uint32_t, kComponents> pair_at{};  // the pair's index from 1; 0: none
    PositionCode repetition = kNoPosition;
    std::size_t last = 0;
    for (std::size_t i = 0; i < field_pairs.size(); ++i) {
      const PositionCode code = field_pairs[i].position;
      if (code >= kBeyondLimit) continue;
      const std::size_t component = code & kPositionPartMask;
      if (repetition == kNoPosition) repetition = code & ~kPositionPartMask;
      if ((code & ~kPositionPartMask) != repetition || component >= kComponents ||
          pair_at[component] != 0) {
        return false;
      }
      pair_at[component] = static_cast<std::uint32_t>(i + 1);
      last = std::max(last, component);
    }
    // A value for the whole repetition gives way to any component of it.
    for (std::size_t component = last > 0 ? 1 : 0; component <= last; ++component) {
      if (pair_at[component] == 0) continue;
      const TextPair& pair = field_pairs[pair_at[component] - 1];
      writer.put(pair.position, pair.value);
    }
    return true;
  }

  template <class Writer>
  void put_field_sorted(const FieldPairs& pairs, Writer& writer) {
    const auto field_pairs = record_.subspan(pairs.begin - 1, pairs.end - (pairs.begin - 1));
    if (put_components_in_place(field_pairs, writer)) return;
    const std::span values = place(field_pairs);
    sort_field(values);
    put_sorted(values, writer);
  }

  template <class Writer>
  static void put_sorted(std::span<const PlacedValue> sorted, Writer& writer) {
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      const PositionCode code = sorted[i].position;
      if (i + 1 < sorted.size()) {
        const PositionCode next = sorted[i + 1].position;
        if (same_repetition(code, next) && (code == next || fills_repetition(code))) continue;
      }
      writer.put(code, sorted[i].value);
    }
  }

  std::span<const TextPair> record_;
  std::optional<std::string_view> name_;
  std::uint64_t last_field_ = 0;
  // Whether the visit may walk the table: every field's pairs lie together,
  // and no field is past the table.
  bool by_field_ = true;
  // By field number, empty between visits; field 0's entry always there.
  std::vector<FieldPairs> fields_ = std::vector<FieldPairs>(1);
  std::vector<PlacedValue> placed_;  // as many as the most pairs placed at once
  // As many as the most pairs of a record: held components.
  std::vector<const TextPair*> held_components_;
  PositionSorter sorter_;
};

}  // namespace mirabex
