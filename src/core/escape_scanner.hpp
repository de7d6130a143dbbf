// Finds where a text first holds a byte that escaping may change, 16 bytes
// at a time where the machine allows: most values need no escaping, and
// most are short enough to be looked at in one step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/escape.hpp"
#include "core/text_arena.hpp"

namespace mirabex {

// Stops at the handler's delimiters and at every byte up to the space: of
// those, escaping changes only tab, CR, LF and the space itself, so the
// caller checks exactly from the byte found.
class EscapeScanner {
 public:
  explicit EscapeScanner(const Hl7EscapeHandler& handler)
#if defined(__SSE2__)
      : field_(broadcast(handler.field_separator())),
        component_(broadcast(handler.component_separator())),
        repetition_(broadcast(handler.repetition_separator())),
        escape_(broadcast(handler.escape_character())),
        subcomponent_(broadcast(handler.subcomponent_separator())),
        space_(broadcast(' ')),
        usual_delimiters_(has_usual_delimiters(handler)) {
  }
#else
      : handler_(handler) {
  }
#endif

  // The index of the first byte that may need escaping, text.size() when
  // none does. The text must be followed by TextArena::kReadPadding
  // readable bytes.
  std::size_t first_candidate(std::string_view text) const {
#if defined(__SSE2__)
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
    for (; i + kWidth <= size; i += kWidth) {
      if (const std::uint32_t found = candidates(data + i)) return i + first_bit(found);
    }
    if (i == size) return size;
    // The last few bytes, read with the padding behind them.
    const std::uint32_t found = candidates(data + i) & ((std::uint32_t{1} << (size - i)) - 1);
    return found != 0 ? i + first_bit(found) : size;
#else
    std::size_t i = 0;
    while (i < text.size() && !handler_.needs_escape(text[i])) ++i;
    return i;
#endif
  }

  // first_candidate of a text of at most 16 bytes, copied to `out` on the
  // way in one 16-byte move: the text must be followed by
  // TextArena::kReadPadding readable bytes, and `out` must have room for
  // 16.
  std::size_t copy_short_and_find(std::string_view text, char* out) const {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    const std::uint32_t found = candidates(bytes) & ((std::uint32_t{1} << text.size()) - 1);
    return found != 0 ? first_bit(found) : text.size();
#else
    std::memcpy(out, text.data(), 16);
    return first_candidate(text);
#endif
  }

 private:
#if defined(__SSE2__)
  static constexpr std::size_t kWidth = 16;
  static_assert(TextArena::kReadPadding >= kWidth - 1);

  static __m128i broadcast(char c) { return _mm_set1_epi8(c); }
  static std::size_t first_bit(std::uint32_t bits) {
    return static_cast<std::size_t>(__builtin_ctz(bits));
  }

  std::uint32_t candidates(const char* at) const {
    return candidates(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  }

  // The usual field, component, repetition and escape characters, '|',
  // '^', '~' and '\\' (0x7C, 0x5E, 0x7E, 0x5C), differ only in bits 1 and
  // 5: with those bits set, they and no other byte read 0x7E.
  static constexpr char kUsualDelimiterBits = 0x22;
  static constexpr char kUsualDelimitersFolded = 0x7E;

  static bool has_usual_delimiters(const Hl7EscapeHandler& handler) {
    const char delimiters[] = {handler.field_separator(), handler.component_separator(),
                               handler.repetition_separator(), handler.escape_character()};
    bool seen[4] = {};
    for (const char c : delimiters) {
      if ((c | kUsualDelimiterBits) != kUsualDelimitersFolded) return false;
      seen[(c & 0x02) >> 1 | (c & 0x20) >> 4] = true;
    }
    return seen[0] && seen[1] && seen[2] && seen[3];
  }

  std::uint32_t candidates(__m128i bytes) const {
    // Bytes up to the space: the unsigned minimum with the space is the byte.
    __m128i found = _mm_cmpeq_epi8(_mm_min_epu8(bytes, space_), bytes);
    found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, subcomponent_));
    if (usual_delimiters_) {
      const __m128i folded = _mm_or_si128(bytes, broadcast(kUsualDelimiterBits));
      found = _mm_or_si128(found, _mm_cmpeq_epi8(folded, broadcast(kUsualDelimitersFolded)));
    } else {
      found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, field_));
      found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, component_));
      found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, repetition_));
      found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, escape_));
    }
    return static_cast<std::uint32_t>(_mm_movemask_epi8(found));
  }

  __m128i field_;
  __m128i component_;
  __m128i repetition_;
  __m128i escape_;
  __m128i subcomponent_;
  __m128i space_;
  bool usual_delimiters_;
#else
  const Hl7EscapeHandler& handler_;
#endif
};

}  // namespace mirabex
