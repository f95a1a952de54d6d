#include "platform/large_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace vellumark::platform {

namespace {

std::size_t roundedUp(std::size_t bytes) { return (bytes + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes; }

}  // namespace

void* mapLarge(std::size_t bytes) {
  const std::size_t size = roundedUp(bytes);
  if (size < bytes || size + kLargePageBytes < size) return nullptr;
  // Mapped with a page to spare, then trimmed to a 2 MiB boundary: the system gives large
  // pages only to aligned stretches.
  void* mapped = ::mmap(nullptr, size + kLargePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes;
  if (aligned > start) ::munmap(mapped, aligned - start);
  if (const std::size_t tail = kLargePageBytes - (aligned - start); tail > 0)
    ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  // Only advice: where large pages are off, the memory is served in small ones.
  (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void unmapLarge(void* p, std::size_t bytes) noexcept {
  if (p != nullptr) ::munmap(p, roundedUp(bytes));
}

}  // namespace vellumark::platform
