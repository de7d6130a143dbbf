// Marks where a segment line holds each kind of delimiter, a block of 32
// bytes (two 16-byte vectors) at a time where the machine allows: one look
// at every byte tells the parser where all fields and components end,
// instead of a search per piece.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirabex {

// Bit i stands for byte i of the block.
struct BlockMarks {
  std::uint32_t fields = 0;       // field separators
  std::uint32_t components = 0;   // component separators
  std::uint32_t repetitions = 0;  // repetition separators
  std::uint32_t escapes = 0;      // escape characters
  std::uint32_t non_ascii = 0;    // bytes from 0x80 up

  // Drops the first `count` bytes: the rest move down to bit 0.
  BlockMarks without_first(unsigned count) const {
    return {fields >> count, components >> count, repetitions >> count, escapes >> count,
            non_ascii >> count};
  }
};

// What the usual block is read for: where it is cut, where its fields end,
// and whether it needs the mark-by-mark cut.
struct BlockCuts {
  std::uint32_t cuts = 0;     // any delimiter
  std::uint32_t fields = 0;   // field separators
  std::uint32_t unusual = 0;  // repetition separators and escape characters
  std::uint32_t non_ascii = 0;

  BlockCuts without_first(unsigned count) const {
    return {cuts >> count, fields >> count, unusual >> count, non_ascii >> count};
  }
};

// How many field, component and repetition separators a text holds.
struct DelimiterCounts {
  std::size_t fields = 0;
  std::size_t components = 0;
  std::size_t repetitions = 0;
};

class LineScanner {
 public:
  // A block is two vectors: the loops over its cuts cost the same for
  // more bytes at a time.
  static constexpr std::size_t kVectorWidth = 16;
  static constexpr std::size_t kWidth = 2 * kVectorWidth;
  static constexpr std::size_t kRunWidth = 4 * kVectorWidth;

#if defined(__SSE2__)
  LineScanner(char field, char component, char repetition, char escape)
      : field_(_mm_set1_epi8(field)),
        component_(_mm_set1_epi8(component)),
        repetition_(_mm_set1_epi8(repetition)),
        escape_(_mm_set1_epi8(escape)) {}
#else
  LineScanner(char field, char component, char repetition, char escape)
      : field_(field), component_(component), repetition_(repetition), escape_(escape) {}
#endif

  // The first index from `from` on, in steps of kRunWidth, where the next
  // kRunWidth bytes hold a delimiter or a byte past ASCII, or where fewer
  // are left: long texts without delimiters (encoded data) are passed over
  // four blocks at a time.
  std::size_t end_of_plain_run(const char* text, std::size_t from, std::size_t size) const {
#if defined(__SSE2__)
    for (; from + kRunWidth <= size; from += kRunWidth) {
      const char* const at = text + from;
      const __m128i found = _mm_or_si128(
          _mm_or_si128(unusual(at), unusual(at + kVectorWidth)),
          _mm_or_si128(unusual(at + 2 * kVectorWidth), unusual(at + 3 * kVectorWidth)));
      if (bits(found) != 0) break;
    }
#else
    (void)text;
    (void)size;
#endif
    return from;
  }

  DelimiterCounts count(const char* text, std::size_t size) const {
    DelimiterCounts counts;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Each byte lane counts up to 255 finds before the lanes are added up.
    constexpr std::size_t kLaneLimit = 255 * kVectorWidth;
    while (i + kVectorWidth <= size) {
      const std::size_t stop = size - i < kLaneLimit ? size : i + kLaneLimit;
      __m128i fields = _mm_setzero_si128();
      __m128i components = _mm_setzero_si128();
      __m128i repetitions = _mm_setzero_si128();
      for (; i + kVectorWidth <= stop; i += kVectorWidth) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        fields = _mm_sub_epi8(fields, _mm_cmpeq_epi8(bytes, field_));
        components = _mm_sub_epi8(components, _mm_cmpeq_epi8(bytes, component_));
        repetitions = _mm_sub_epi8(repetitions, _mm_cmpeq_epi8(bytes, repetition_));
      }
      counts.fields += lane_sum(fields);
      counts.components += lane_sum(components);
      counts.repetitions += lane_sum(repetitions);
    }
    const char field = static_cast<char>(_mm_cvtsi128_si32(field_));
    const char component = static_cast<char>(_mm_cvtsi128_si32(component_));
    const char repetition = static_cast<char>(_mm_cvtsi128_si32(repetition_));
#else
    const char field = field_;
    const char component = component_;
    const char repetition = repetition_;
#endif
    for (; i < size; ++i) {
      counts.fields += text[i] == field;
      counts.components += text[i] == component;
      counts.repetitions += text[i] == repetition;
    }
    return counts;
  }

  // Reads kWidth bytes from at.
  BlockCuts cuts(const char* at) const {
#if defined(__SSE2__)
    const BlockCuts low = vector_cuts(at);
    const BlockCuts high = vector_cuts(at + kVectorWidth);
    return {low.cuts | high.cuts << kVectorWidth, low.fields | high.fields << kVectorWidth,
            low.unusual | high.unusual << kVectorWidth,
            low.non_ascii | high.non_ascii << kVectorWidth};
#else
    const BlockMarks found = marks(at);
    const std::uint32_t unusual = found.repetitions | found.escapes;
    return {found.fields | found.components | unusual, found.fields, unusual, found.non_ascii};
#endif
  }

  // Reads kWidth bytes from at.
  BlockMarks marks(const char* at) const {
#if defined(__SSE2__)
    const BlockMarks low = vector_marks(at);
    const BlockMarks high = vector_marks(at + kVectorWidth);
    return {
        low.fields | high.fields << kVectorWidth, low.components | high.components << kVectorWidth,
        low.repetitions | high.repetitions << kVectorWidth,
        low.escapes | high.escapes << kVectorWidth, low.non_ascii | high.non_ascii << kVectorWidth};
#else
    BlockMarks found;
    for (unsigned i = 0; i < kWidth; ++i) {
      const std::uint32_t bit = std::uint32_t{1} << i;
      const char c = at[i];
      if (c == field_) found.fields |= bit;
      if (c == component_) found.components |= bit;
      if (c == repetition_) found.repetitions |= bit;
      if (c == escape_) found.escapes |= bit;
      if (static_cast<unsigned char>(c) >= 0x80) found.non_ascii |= bit;
    }
    return found;
#endif
  }

 private:
#if defined(__SSE2__)
  BlockCuts vector_cuts(const char* at) const {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i fields = _mm_cmpeq_epi8(bytes, field_);
    const __m128i unusual =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, repetition_), _mm_cmpeq_epi8(bytes, escape_));
    const __m128i cuts =
        _mm_or_si128(_mm_or_si128(fields, _mm_cmpeq_epi8(bytes, component_)), unusual);
    return {bits(cuts), bits(fields), bits(unusual), bits(bytes)};
  }

  BlockMarks vector_marks(const char* at) const {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return {bits(_mm_cmpeq_epi8(bytes, field_)), bits(_mm_cmpeq_epi8(bytes, component_)),
            bits(_mm_cmpeq_epi8(bytes, repetition_)), bits(_mm_cmpeq_epi8(bytes, escape_)),
            bits(bytes)};
  }

  // Bytes with the top bit set where the kVectorWidth bytes from at hold a
  // delimiter or a byte past ASCII.
  __m128i unusual(const char* at) const {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i separators =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, field_), _mm_cmpeq_epi8(bytes, component_));
    const __m128i others =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, repetition_), _mm_cmpeq_epi8(bytes, escape_));
    return _mm_or_si128(_mm_or_si128(separators, others), bytes);
  }

  static std::size_t lane_sum(__m128i counts) {
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }

  // The top bit of each byte.
  static std::uint32_t bits(__m128i bytes) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
  }

  __m128i field_;
  __m128i component_;
  __m128i repetition_;
  __m128i escape_;
#else
  char field_;
  char component_;
  char repetition_;
  char escape_;
#endif
};

}  // namespace mirabex
