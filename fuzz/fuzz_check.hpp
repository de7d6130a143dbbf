// What every fuzz target shares: the name of its entry point and the check
// that stops the run at a broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// libFuzzer calls LLVMFuzzerTestOneInput. The corpus replay of the C++
// tests links every target into one binary, so it compiles each target
// with an entry point of its own name (fuzz_<target>).
#ifndef MIRABEX_FUZZ_ENTRY
#define MIRABEX_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

// Aborts, so that libFuzzer keeps the input and prints the stack, and the
// replay test fails loudly.
#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace mirabex::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace mirabex::fuzz
