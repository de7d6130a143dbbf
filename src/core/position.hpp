// The position a record key names ('3', '5.2', '11[0].1'), and every way a
// position is packed into a number: the position code, which orders like
// the position and which the assembly sorts by, and the compact position
// that the known-key index stores beside a key's address.
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

// ---- The compact position --------------------------------------------------

// A small position in kBits bits: field below 2^8, repetition below 2^4,
// component below 2^5. The marks for no position and for a position past
// the limit unpack to fields far above these, so they never fit.
struct CompactPosition {
  static constexpr int kFieldBits = 8;
  static constexpr int kRepetitionBits = 4;
  static constexpr int kComponentBits = 5;
  static constexpr int kBits = kFieldBits + kRepetitionBits + kComponentBits;
  // How many numbers each part holds, from 0.
  static constexpr std::uint64_t kFields = std::uint64_t{1} << kFieldBits;
  static constexpr std::uint64_t kRepetitions = std::uint64_t{1} << kRepetitionBits;
  static constexpr std::uint64_t kComponents = std::uint64_t{1} << kComponentBits;
  static constexpr std::uint64_t kNoFit = UINT64_MAX;

  static constexpr std::uint64_t pack(PositionCode code) {
    const Position p = position_of(code);
    if (p.field >> kFieldBits != 0 || p.repetition >> kRepetitionBits != 0 ||
        p.component >> kComponentBits != 0) {
      return kNoFit;
    }
    return p.field | p.repetition << kFieldBits | p.component << (kFieldBits + kRepetitionBits);
  }

  // Every compact position is within the limit: it packs without checks.
  static_assert(kFields <= kMaxPosition && kRepetitions <= kMaxPosition &&
                kComponents <= kMaxPosition);
  static constexpr PositionCode unpack(std::uint64_t bits) {
    const std::uint64_t field = bits & (kFields - 1);
    const std::uint64_t repetition = (bits >> kFieldBits) & (kRepetitions - 1);
    const std::uint64_t component = (bits >> (kFieldBits + kRepetitionBits)) & (kComponents - 1);
    return field << (2 * kPositionPartBits) | repetition << kPositionPartBits | component;
  }
};

}  // namespace mirabex
