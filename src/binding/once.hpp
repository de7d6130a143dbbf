// A value made once per process by exactly one thread, on first need.
// Threads that need it while another makes it wait, and call the given
// hooks around their wait so that they can step away from the interpreter
// (the maker may need it). A failed making, or one that throws, leaves the
// cell empty and wakes the waiters, so the next caller tries again. Plain
// C++, tested with real threads.
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
        std::pair<T, bool> made;
        try {
          made = make();
        } catch (...) {
          finish(kEmpty);
          throw;
        }
        if (made.second) value_ = made.first;
        finish(made.second ? kReady : kEmpty);
        return made;
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
  void finish(int state) {
    state_.store(state, std::memory_order_release);
    state_.notify_all();
  }

  static constexpr int kEmpty = 0;
  static constexpr int kMaking = 1;
  static constexpr int kReady = 2;

  std::atomic<int> state_{kEmpty};
  T value_{};
};

}  // namespace mirabex
