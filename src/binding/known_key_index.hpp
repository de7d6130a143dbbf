// The positions of the module's own key objects, found by their address.
// Plain C++, so it is tested with real threads without an interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/position.hpp"

namespace mirabex {

// Records that come back to JsonHl7 carry the very key objects Hl7Json
// made, and their keys need not be read again. Each entry is one word, the
// key's address beside its compact position, so that entries are published
// whole and the table stays small enough to sit in cache. It takes the
// first kCapacity keys added (a workload uses far fewer); keys added after
// those, or whose position has no compact form, are simply not found.
// Entries are only ever added: a key must outlive the index.
class KnownKeyIndex {
 public:
  static constexpr int kSizeBits = 12;
  static constexpr std::size_t kSize = std::size_t{1} << kSizeBits;
  // Half the slots, so that probes stay short and an empty slot always
  // ends them.
  static constexpr std::size_t kCapacity = kSize / 2;

  void add(const void* key, PositionCode position) {
    const std::uint64_t entry = entry_of(key, position);
    if (entry == 0 || count_.fetch_add(1, std::memory_order_relaxed) >= kCapacity) return;
    for (std::size_t i = slot_of(key);; i = (i + 1) % kSize) {
      std::uint64_t expected = 0;
      if (entries_[i].compare_exchange_strong(expected, entry, std::memory_order_acq_rel)) return;
    }
  }

  bool find(const void* key, PositionCode& position) const {
    const std::uint64_t address = address_bits(key);
    for (std::size_t i = slot_of(key);; i = (i + 1) % kSize) {
      const std::uint64_t entry = entries_[i].load(std::memory_order_acquire);
      if (entry == 0) return false;
      if (entry >> CompactPosition::kBits == address) {
        position = CompactPosition::unpack(entry & kCompactMask);
        return true;
      }
    }
  }

 private:
  static constexpr std::uint64_t kCompactMask = (std::uint64_t{1} << CompactPosition::kBits) - 1;
  // Objects are 8-byte aligned in user space below 2^47: 44 bits, which
  // leave room for the compact position.
  static constexpr int kAddressBits = 44;
  static_assert(kAddressBits + CompactPosition::kBits <= 64);

  static std::uint64_t address_bits(const void* key) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) >> 3;
  }

  // 0 when the key cannot be held.
  static std::uint64_t entry_of(const void* key, PositionCode position) {
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
    const std::uint64_t compact = CompactPosition::pack(position);
    if (address == 0 || address % 8 != 0 || address >> (kAddressBits + 3) != 0 ||
        compact == CompactPosition::kNoFit) {
      return 0;
    }
    return address_bits(key) << CompactPosition::kBits | compact;
  }

  static std::size_t slot_of(const void* key) {
    const auto address = reinterpret_cast<std::uintptr_t>(key);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15u) >> (64 - kSizeBits));
  }

  std::atomic<std::size_t> count_{0};
  std::atomic<std::uint64_t> entries_[kSize] = {};
};

}  // namespace mirabex
