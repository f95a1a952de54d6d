#pragma once
// A byte buffer that grows in place: anonymous memory enlarged by remapping, so growing
// never holds the old and the new contents at once and never copies them. A carve that
// assembles a 2 GB document needs 2 GB, not 4.

#include <cstddef>
#include <cstdint>

namespace vellumark::platform {

class GrowableBuffer {
 public:
  GrowableBuffer() = default;
  ~GrowableBuffer();
  GrowableBuffer(const GrowableBuffer&) = delete;
  GrowableBuffer& operator=(const GrowableBuffer&) = delete;
  GrowableBuffer(GrowableBuffer&& other) noexcept : base_(other.base_), capacity_(other.capacity_) {
    other.base_ = nullptr;
    other.capacity_ = 0;
  }
  GrowableBuffer& operator=(GrowableBuffer&& other) noexcept;
  void swap(GrowableBuffer& other) noexcept;

  // Makes room for at least `bytes`, keeping what is held. False when the memory cannot be
  // had (the buffer is then unchanged).
  [[nodiscard]] bool reserve(std::size_t bytes);
  [[nodiscard]] std::uint8_t* data() const { return static_cast<std::uint8_t*>(base_); }
  [[nodiscard]] std::size_t capacity() const { return capacity_; }

 private:
  void* base_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace vellumark::platform
