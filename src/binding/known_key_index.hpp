// The facts of the module's own key objects, found by their address.
// Plain C++, so it is tested with real threads without an interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/record_list.hpp"

namespace mirabex {

// Records that come back to JsonHl7 carry the very key objects Hl7Json
// made, and their keys need not be read again. A key's entry holds its
// facts beside its address, so that finding a key costs one load of one
// cache line; the facts are written before the address that publishes
// them. It takes the first kCapacity keys added (a workload uses far
// fewer); keys added after those are simply not found. Entries are only
// ever added: a key must outlive the index.
class KnownKeyIndex {
 public:
  // What the index holds of a key: its facts, and the size of its text,
  // so that a key found needs no read of its object.
  struct Key {
    KeyFacts facts;
    std::uint64_t text_size;
  };

  static constexpr int kSizeBits = 12;
  static constexpr std::size_t kSize = std::size_t{1} << kSizeBits;
  // Half the entries, so that probes stay short and an empty entry always
  // ends them.
  static constexpr std::size_t kCapacity = kSize / 2;

  void add(const void* key, const Key& known) {
    if (key == nullptr || address_of(key) % 8 != 0) return;
    if (count_.fetch_add(1, std::memory_order_relaxed) >= kCapacity) return;
    for (std::size_t i = slot_of(key);; i = (i + 1) % kSize) {
      Entry& entry = entries_[i];
      std::uint64_t expected = 0;
      if (entry.address.compare_exchange_strong(expected, kBeingWritten,
                                                std::memory_order_acquire)) {
        entry.key = known;
        entry.address.store(address_of(key), std::memory_order_release);
        return;
      }
    }
  }

  // What the index holds of the key (null when the key is not there): read
  // in place, not copied first.
  [[gnu::always_inline]] const Key* find(const void* key) const {
    const std::uint64_t address = address_of(key);
    for (std::size_t i = slot_of(key);; i = (i + 1) % kSize) {
      const Entry& entry = entries_[i];
      const std::uint64_t held = entry.address.load(std::memory_order_acquire);
      if (held == 0) return nullptr;
      if (held == address) return &entry.key;
    }
  }

 private:
  // Held while an entry's facts are written: no key's address, as keys
  // are 8-byte aligned.
  static constexpr std::uint64_t kBeingWritten = 1;

  struct alignas(32) Entry {
    // No member initialisers: the index is zero-initialised, taking no
    // room in the module's file.
    std::atomic<std::uint64_t> address;  // 0: empty; kBeingWritten; else the key's
    Key key;
  };

  static std::uint64_t address_of(const void* key) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
  }

  static std::size_t slot_of(const void* key) {
    return static_cast<std::size_t>((address_of(key) * 0x9E3779B97F4A7C15u) >> (64 - kSizeBits));
  }

  std::atomic<std::size_t> count_{0};
  Entry entries_[kSize];
};

}  // namespace mirabex
