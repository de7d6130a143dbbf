// A value made once per process by exactly one thread, on first need.
// Threads that need it while another makes it wait, and call the given
// hooks around their wait so that they can step away from the interpreter
// (the maker may need it). A failed making leaves the cell empty, so the
// next caller tries again. Plain C++, tested with real threads.
#pragma once

#include <atomic>
#include <utility>

namespace mirabex {

template <class T>
class OnceCell {
 public:
  // make() returns {value, ok}. Returns the value and true, or whatever a
  // failed make() returned and false.
  template <class Make, class BeforeWait, class AfterWait>
  std::pair<T, bool> get_or_make(Make&& make, BeforeWait&& before_wait, AfterWait&& after_wait) {
    for (;;) {
      int state = state_.load(std::memory_order_acquire);
      if (state == kReady) return {value_, true};
      if (state == kEmpty &&
          state_.compare_exchange_strong(state, kMaking, std::memory_order_acquire)) {
        auto [value, ok] = make();
        if (ok) value_ = value;
        state_.store(ok ? kReady : kEmpty, std::memory_order_release);
        state_.notify_all();
        if (ok) return {value_, true};
        return {value, false};
      }
      if (state == kMaking) {
        before_wait();
        state_.wait(kMaking, std::memory_order_acquire);
        after_wait();
      }
    }
  }

  // The value if it has been made.
  const T* get() const {
    return state_.load(std::memory_order_acquire) == kReady ? &value_ : nullptr;
  }

 private:
  static constexpr int kEmpty = 0;
  static constexpr int kMaking = 1;
  static constexpr int kReady = 2;

  std::atomic<int> state_{kEmpty};
  T value_{};
};

}  // namespace mirabex
