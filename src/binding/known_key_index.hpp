// The facts of the module's own key objects, found by their address.
// Plain C++, so it is tested with real threads without an interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/record_list.hpp"

namespace mirabex {

// Records that come back to JsonHl7 carry the very key objects Hl7Json
// made, and their keys need not be read again. Each entry is one word, the
// key's address beside the number of its facts, so that entries are
// published whole; the facts are written before the entry that names them.
// It takes the first kCapacity keys added (a workload uses far fewer); keys
// added after those are simply not found. Entries are only ever added: a
// key must outlive the index.
class KnownKeyIndex {
 public:
  static constexpr int kSizeBits = 12;
  static constexpr std::size_t kSize = std::size_t{1} << kSizeBits;
  // Half the slots, so that probes stay short and an empty slot always
  // ends them.
  static constexpr std::size_t kCapacity = kSize / 2;

  void add(const void* key, const KeyFacts& facts) {
    if (!fits(key)) return;
    const std::size_t number = count_.fetch_add(1, std::memory_order_relaxed);
    if (number >= kCapacity) return;
    facts_[number] = facts;
    const std::uint64_t entry = address_bits(key) << kNumberBits | number;
    for (std::size_t i = slot_of(key);; i = (i + 1) % kSize) {
      std::uint64_t expected = 0;
      if (entries_[i].compare_exchange_strong(expected, entry, std::memory_order_acq_rel)) return;
    }
  }

  const KeyFacts* find(const void* key) const {
    const std::uint64_t address = address_bits(key);
    for (std::size_t i = slot_of(key);; i = (i + 1) % kSize) {
      const std::uint64_t entry = entries_[i].load(std::memory_order_acquire);
      if (entry == 0) return nullptr;
      if (entry >> kNumberBits == address) return &facts_[entry & (kCapacity - 1)];
    }
  }

 private:
  static constexpr int kNumberBits = kSizeBits - 1;
  static_assert(kCapacity == std::size_t{1} << kNumberBits);
  // Objects are 8-byte aligned in user space below 2^47: 44 bits, which
  // leave room for the number of the facts.
  static constexpr int kAddressBits = 44;
  static_assert(kAddressBits + kNumberBits <= 64);

  static std::uint64_t address_bits(const void* key) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) >> 3;
  }

  static bool fits(const void* key) {
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    return address != 0 && address % 8 == 0 && address >> (kAddressBits + 3) == 0;
  }

  static std::size_t slot_of(const void* key) {
    const auto address = reinterpret_cast<std::uintptr_t>(key);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15u) >> (64 - kSizeBits));
  }

  std::atomic<std::size_t> count_{0};
  std::atomic<std::uint64_t> entries_[kSize] = {};
  KeyFacts facts_[kCapacity] = {};
};

}  // namespace mirabex
