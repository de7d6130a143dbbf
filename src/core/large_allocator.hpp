// An allocator for the few large arrays of a conversion (a record list's
// pairs, an assembled text): those of tens of megabytes are mapped in huge
// pages where the system offers them. Page faults are costly, above all in
// virtual machines, and a fresh array of 100 MB takes 25,000 of them in
// pages of 4 KB.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace mirabex {

// Arrays of this many bytes and more are mapped for themselves. Below it
// glibc keeps freed blocks for the next call; above it every block is
// mapped afresh anyway.
inline constexpr std::size_t kLargeArrayBytes = std::size_t{32} << 20;

// Memory for a large array, in huge pages where the system offers them.
inline void* map_large(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  madvise(mapped, bytes, MADV_HUGEPAGE);  // a hint: refused, pages stay small
  return mapped;
#else
  void* allocated = std::malloc(bytes);
  if (allocated == nullptr) throw std::bad_alloc();
  return allocated;
#endif
}

inline void unmap_large(void* memory, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  munmap(memory, bytes);
#else
  static_cast<void>(bytes);
  std::free(memory);
#endif
}

template <class T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <class U>
  explicit LargeAllocator(const LargeAllocator<U>&) {}

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes >= kLargeArrayBytes) return static_cast<T*>(map_large(bytes));
    return static_cast<T*>(::operator new(bytes));
  }

  void deallocate(T* pointer, std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes >= kLargeArrayBytes) {
      unmap_large(pointer, bytes);
      return;
    }
    ::operator delete(pointer);
  }

  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

// Raw memory, not cleared, from LargeAllocator: the room a text is
// written into.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  explicit LargeBuffer(std::size_t size)
      : data_(size != 0 ? LargeAllocator<char>().allocate(size) : nullptr), size_(size) {}
  LargeBuffer(LargeBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      free();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer() { free(); }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void free() {
    if (data_ != nullptr) LargeAllocator<char>().deallocate(data_, size_);
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace mirabex
