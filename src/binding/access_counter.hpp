// The per-object guard against conflicting concurrent use: any number of
// shared accesses (readers) or one exclusive access (a setter). A conflict
// fails at once; nothing ever waits. Plain C++, so it is tested with real
// threads without an interpreter.
#pragma once

#include <atomic>
#include <cstdint>

namespace mirabex {

class AccessCounter {
 public:
  // 0: free; n > 0: n shared accesses; -1: one exclusive access.
  bool try_share() {
    std::int64_t seen = count_.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusive) return false;
    } while (!count_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }

  bool try_exclusive() {
    std::int64_t expected = 0;
    return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void release_shared() { count_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() { count_.store(0, std::memory_order_release); }

  std::int64_t load() const { return count_.load(std::memory_order_relaxed); }

 private:
  static constexpr std::int64_t kExclusive = -1;
  std::atomic<std::int64_t> count_{0};
};

// Holds one access for a scope; check held() before using the object.
template <bool Exclusive>
class ScopedAccess {
 public:
  explicit ScopedAccess(AccessCounter& counter)
      : counter_(counter), held_(Exclusive ? counter.try_exclusive() : counter.try_share()) {}
  ScopedAccess(const ScopedAccess&) = delete;
  ScopedAccess& operator=(const ScopedAccess&) = delete;
  ~ScopedAccess() {
    if (!held_) return;
    if constexpr (Exclusive) {
      counter_.release_exclusive();
    } else {
      counter_.release_shared();
    }
  }

  bool held() const { return held_; }

 private:
  AccessCounter& counter_;
  bool held_;
};

using SharedAccess = ScopedAccess<false>;
using ExclusiveAccess = ScopedAccess<true>;

}  // namespace mirabex
