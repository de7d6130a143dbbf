// AppendArray: a growing array of trivially copyable items whose room can
// be made ahead, so that a loop can append through a plain pointer, held in
// a register, instead of checking and storing the array's end per item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "core/large_allocator.hpp"

namespace mirabex {

template <class T>
requires std::is_trivially_copyable_v<T>
class AppendArray {
 public:
  AppendArray() = default;
  AppendArray(AppendArray&& other) noexcept
      : items_(std::exchange(other.items_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  AppendArray& operator=(AppendArray&& other) noexcept {
    if (this != &other) {
      release(items_, capacity_);
      items_ = std::exchange(other.items_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~AppendArray() { release(items_, capacity_); }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return items_; }
  const T* data() const { return items_; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T& back() { return items_[size_ - 1]; }
  operator std::span<const T>() const { return {items_, size_}; }

  void clear() { size_ = 0; }
  // Room for `count` items in all.
  void reserve(std::size_t count) {
    if (capacity_ < count) grow(count);
  }
  // Drops the items from index `size` on.
  void shrink_to(std::size_t size) { size_ = size; }

  void push_back(const T& item) {
    *room_for(1) = item;
    ++size_;
  }
  // An item of value-initialised members, appended.
  T& emplace_back() {
    T* const item = room_for(1);
    *item = T{};
    ++size_;
    return *item;
  }

  // Where the next `count` items may be written; end_at then says where
  // the writing stopped.
  T* room_for(std::size_t count) {
    if (capacity_ - size_ < count) grow(size_ + count);
    return items_ + size_;
  }
  void end_at(const T* end) { size_ = static_cast<std::size_t>(end - items_); }

 private:
  [[gnu::noinline]] void grow(std::size_t at_least) {
    std::size_t capacity = capacity_ < 16 ? 16 : 2 * capacity_;
    if (capacity < at_least) capacity = at_least;
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    if (large(capacity)) {
      T* const items = static_cast<T*>(map_large(capacity * sizeof(T)));
      if (size_ != 0) std::memcpy(items, items_, size_ * sizeof(T));
      release(items_, capacity_);
      items_ = items;
    } else {
      T* const items = static_cast<T*>(std::realloc(items_, capacity * sizeof(T)));
      if (items == nullptr) throw std::bad_alloc();
      items_ = items;
    }
    capacity_ = capacity;
  }

  static bool large(std::size_t capacity) { return capacity * sizeof(T) >= kLargeArrayBytes; }

  static void release(T* items, std::size_t capacity) {
    if (items == nullptr) return;
    if (large(capacity)) {
      unmap_large(items, capacity * sizeof(T));
    } else {
      std::free(items);
    }
  }

  T* items_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace mirabex
