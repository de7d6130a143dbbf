#include "binding/key_memo.hpp"

namespace mirabex {

namespace {

// Numbers the calls on this thread, so that a call, or one nested in it
// while Python code runs, sees only the slots it filled itself.
thread_local std::uint64_t calls_on_thread = 0;

}  // namespace

KeyMemo::Slot* KeyMemo::thread_slots() {
  thread_local const std::unique_ptr<Slot[]> slots = std::make_unique<Slot[]>(kCapacity);
  return slots.get();
}

KeyMemo::KeyMemo() : slots_(thread_slots()), call_(++calls_on_thread) {}

}  // namespace mirabex
