#pragma once
// Memory for the arrays a scan grows with its source (candidates, notes, what carves
// learnt): taken straight from the system in 2 MiB pages where it offers them. Here each
// 4 KiB page costs about 10 µs the first time it is touched, so an array of a few MiB that
// grows by doubling costs more in first touches than in use; a 2 MiB page is touched once.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

namespace vellumark::platform {

// Requests of at least this many bytes are served by mapLarge.
inline constexpr std::size_t kLargeFromBytes = std::size_t{256} << 10;
inline constexpr std::size_t kLargePageBytes = std::size_t{2} << 20;

// The capacity to give an array of T that must hold `wanted` entries: once large pages serve
// it, whole ones. Each large page is zeroed when first touched, which here costs as much as
// the small pages it replaces when the system backs it afresh: an array that doubled from
// 256 KiB to 2 MiB would have that done four times over.
template <typename T>
[[nodiscard]] constexpr std::size_t largeCapacity(std::size_t wanted) {
  if (wanted > std::numeric_limits<std::size_t>::max() / sizeof(T) - kLargePageBytes) return wanted;
  const std::size_t bytes = wanted * sizeof(T);
  if (bytes < kLargeFromBytes) return wanted;
  return (bytes + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes / sizeof(T);
}

// Makes room in a vector for one more entry, growing it as largeCapacity says.
template <typename Vector>
void reserveOneMore(Vector& v) {
  if (v.size() < v.capacity()) return;
  v.reserve(largeCapacity<typename Vector::value_type>(std::max<std::size_t>(16, v.size() * 2)));
}

// Zeroed memory of at least `bytes`, aligned to 2 MiB, asked to be backed by 2 MiB pages;
// nullptr when the system has none to give.
[[nodiscard]] void* mapLarge(std::size_t bytes);
// Gives back what mapLarge gave for the same `bytes`.
void unmapLarge(void* p, std::size_t bytes) noexcept;

// An allocator for std::vector: small requests from the heap, large ones from mapLarge.
template <typename T>
struct LargePageAllocator {
  using value_type = T;
  LargePageAllocator() = default;
  template <typename U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

  [[nodiscard]] T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) < kLargeFromBytes) return std::allocator<T>{}.allocate(n);
    void* p = mapLarge(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kLargeFromBytes) return std::allocator<T>{}.deallocate(p, n);
    unmapLarge(p, n * sizeof(T));
  }
  template <typename U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vellumark::platform
