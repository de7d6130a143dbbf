// Key objects met before while one call takes records in. Records made by
// one json.loads (or any maker that shares its key objects) repeat the same
// few keys: a key remembered is neither copied into the list again nor read
// for its position.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/record_list.hpp"

namespace mirabex {

// A small cache, one key a slot, found by the key object's address and
// kept by each thread from call to call, so that no call clears it: a slot
// counts only for the call that filled it. The memo holds no reference,
// so a key object may die and another take its address: a slot is taken
// only when the key's text is the one it holds too. Keys of up to 16 bytes
// are remembered, their bytes held whole.
class KeyMemo {
 public:
  KeyMemo();
  KeyMemo(const KeyMemo&) = delete;
  KeyMemo& operator=(const KeyMemo&) = delete;

  // records.add(key_text, value), with the key's copy and facts taken from
  // the memo when it holds them. One memo serves one record list: it holds
  // views into the list's texts.
  [[gnu::always_inline]] void add(RecordList& records, const PyObject* key,
                                  std::string_view key_text, std::string_view value) {
    if (key_text.size() > kLongestKey || given_up_) [[unlikely]] {
      records.add(key_text, value);
      return;
    }
    const KeyBytes bytes = bytes_of(key_text);
    Slot& slot = slots_[slot_of(key)];
    if (slot.call == call_ && slot.key == key && slot.bytes == bytes) {
      ++hits_;
      records.add_lasting_key(slot.kept, value, slot.facts);
      return;
    }
    const TextPair& added = records.add(key_text, value);
    slot = {call_, key, bytes, added.key, {added.position, added.order}};
    // Keys that are all different objects (a field of thousands of
    // repetitions, each key made anew) would only pay for the memo.
    if (++misses_ == kTrial && hits_ < kTrial / 4) given_up_ = true;
  }

 private:
  static constexpr std::size_t kLongestKey = 16;
  static constexpr std::size_t kCapacity = 1024;
  static constexpr std::size_t kTrial = 1024;  // misses before the memo may give up

  // The bytes of a key as two words and its size: equal for equal texts
  // only.
  struct KeyBytes {
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::size_t size = 0;
    bool operator==(const KeyBytes&) const = default;
  };

  struct Slot {
    std::uint64_t call = 0;  // the number of the call that filled it; 0: none
    const PyObject* key = nullptr;
    KeyBytes bytes;
    std::string_view kept;  // the key's text in that call's record list
    KeyFacts facts;
  };

  template <class Word>
  static Word load(const char* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }

  static KeyBytes bytes_of(std::string_view key) {
    const char* const p = key.data();
    const std::size_t n = key.size();
    KeyBytes bytes{0, 0, n};
    if (n > 8) {
      bytes.head = load<std::uint64_t>(p);
      bytes.tail = load<std::uint64_t>(p + n - 8);
    } else if (n >= 4) {
      // Two words that overlap cover every byte.
      bytes.head = load<std::uint32_t>(p) | std::uint64_t{load<std::uint32_t>(p + n - 4)} << 32;
    } else if (n > 0) {
      bytes.head = static_cast<unsigned char>(p[0]) |
                   std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
                   std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    return bytes;
  }

  // This thread's slots, made on first use.
  static Slot* thread_slots();

  static std::size_t slot_of(const PyObject* key) {
    const auto address = reinterpret_cast<std::uintptr_t>(key);
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15u) >> 32) & (kCapacity - 1);
  }

  Slot* slots_;
  std::uint64_t call_;
  std::size_t hits_ = 0;
  std::size_t misses_ = 0;
  bool given_up_ = false;
};

}  // namespace mirabex
