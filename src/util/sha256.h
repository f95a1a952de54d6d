#pragma once
// SHA-256 (FIPS 180-4), for the digests the rescue report gives of every recovered file.
// Small and portable: no library the program links offers one.

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vellumark {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::uint8_t> data);
  // The digest of everything passed to update; the object is spent afterwards.
  [[nodiscard]] std::array<std::uint8_t, 32> finish();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingBytes_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest of data as 64 lower-case hexadecimal digits.
[[nodiscard]] std::string sha256Hex(std::span<const std::uint8_t> data);

}  // namespace vellumark
