// The position a record key names ('3', '5.2', '11[0].1'), and the
// position code: the position packed into a number that orders like it,
// by which the assembly places values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mirabex {

// Field k from 1, repetition r from 0, component c from 1; component 0: the
// value fills the whole field or repetition. A key without "[r]" has no
// repetition (kNone) and is placed like repetition 0.
struct Position {
  static constexpr std::uint64_t kNone = UINT64_MAX;
  // "18446744073709551615[18446744073709551615].18446744073709551615"
  static constexpr std::size_t kMaxTextSize = 3 * 20 + 3;

  std::uint64_t field = 0;
  std::uint64_t repetition = kNone;
  std::uint64_t component = 0;

  // The key text: "k", "k.c", "k[r]" or "k[r].c". Returns its length.
  std::size_t write_text(char* out) const;
  std::string text() const;
  bool operator==(const Position&) const = default;
};

// The key text that names the segment, in every record.
inline constexpr std::string_view kSegmentNameKey = "segment_name";

// The position a key names, or nothing for keys that name none: "3", "+3",
// "3[1]", "3[1].2", "5.2". Numbers may have leading zeros and one leading
// '+', and must fit in 64 bits. A key without "[r]" reads as repetition 0:
// that is where the assembly places it.
std::optional<Position> parse_position_key(std::string_view key);

// Field, repetition and component numbers above this are refused by the
// assembly: one key would otherwise ask for that many empty parts.
inline constexpr std::uint64_t kMaxPosition = 100000;

// ---- The position code -----------------------------------------------------

// A position packed into one number that orders like the position (field,
// then repetition, then component). Keys naming no position, and positions
// beyond the limit, get marks above every packed position.
using PositionCode = std::uint64_t;
inline constexpr int kPositionPartBits = 21;  // for each of the three numbers
inline constexpr PositionCode kPositionPartMask = (PositionCode{1} << kPositionPartBits) - 1;
static_assert(kMaxPosition <= kPositionPartMask);
inline constexpr PositionCode kNoPosition = UINT64_MAX;
inline constexpr PositionCode kBeyondLimit = UINT64_MAX - 1;

constexpr PositionCode pack_position(std::uint64_t field, std::uint64_t repetition,
                                     std::uint64_t component) {
  if (field > kMaxPosition || repetition > kMaxPosition || component > kMaxPosition) {
    return kBeyondLimit;
  }
  return field << (2 * kPositionPartBits) | repetition << kPositionPartBits | component;
}

constexpr PositionCode position_code(const Position& p) {
  return pack_position(p.field, p.repetition == Position::kNone ? 0 : p.repetition, p.component);
}

// The code of the position a key text names: kNoPosition for keys that name
// none, kBeyondLimit for positions past kMaxPosition.
PositionCode position_code(std::string_view key);

// The position of a packed code, its repetition always a number.
constexpr Position position_of(PositionCode code) {
  return {code >> (2 * kPositionPartBits), (code >> kPositionPartBits) & kPositionPartMask,
          code & kPositionPartMask};
}

constexpr std::uint64_t field_of(PositionCode code) { return code >> (2 * kPositionPartBits); }

// Both codes name the same repetition of the same field.
constexpr bool same_repetition(PositionCode a, PositionCode b) {
  return (a & ~kPositionPartMask) == (b & ~kPositionPartMask);
}

constexpr bool fills_repetition(PositionCode code) { return (code & kPositionPartMask) == 0; }

}  // namespace mirabex
