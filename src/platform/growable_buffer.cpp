#include "platform/growable_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>

namespace vellumark::platform {

namespace {

std::size_t roundToPages(std::size_t bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

GrowableBuffer::~GrowableBuffer() {
  if (base_ != nullptr) ::munmap(base_, capacity_);
}

GrowableBuffer& GrowableBuffer::operator=(GrowableBuffer&& other) noexcept {
  GrowableBuffer gone(std::move(*this));
  swap(other);
  return *this;
}

void GrowableBuffer::swap(GrowableBuffer& other) noexcept {
  std::swap(base_, other.base_);
  std::swap(capacity_, other.capacity_);
}

bool GrowableBuffer::reserve(std::size_t bytes) {
  if (bytes <= capacity_) return true;
  const std::size_t wanted = roundToPages(bytes);
  if (wanted < bytes) return false;  // wrapped
  void* grown = base_ == nullptr ? ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : ::mremap(base_, capacity_, wanted, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) return false;
  base_ = grown;
  capacity_ = wanted;
  return true;
}

}  // namespace vellumark::platform
