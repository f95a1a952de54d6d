#include "platform/large_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace vellumark::platform {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t roundedUp(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* mapLarge(std::size_t bytes) {
  const std::size_t size = roundedUp(bytes);
  if (size < bytes || size + kHugePage < size) return nullptr;
  // Mapped with a page to spare, then trimmed to a 2 MiB boundary: the system gives large
  // pages only to aligned stretches.
  void* mapped = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) ::munmap(mapped, aligned - start);
  if (const std::size_t tail = kHugePage - (aligned - start); tail > 0)
    ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  // Only advice: where large pages are off, the memory is served in small ones.
  (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void unmapLarge(void* p, std::size_t bytes) noexcept {
  if (p != nullptr) ::munmap(p, roundedUp(bytes));
}

}  // namespace vellumark::platform
