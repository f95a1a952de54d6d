#pragma once
// SHA-256 (FIPS 180-4), for the digests the rescue report gives of every recovered file.
// Nettle computes it: with the processor's SHA instructions it runs five times as fast as
// portable code, and every byte the rescue saves passes through it.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include <nettle/sha2.h>

namespace vellumark {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::uint8_t> data);
  // The digest of everything passed to update; the object is spent afterwards.
  [[nodiscard]] std::array<std::uint8_t, 32> finish();

 private:
  sha256_ctx context_{};
};

// The digest of data as 64 lower-case hexadecimal digits.
[[nodiscard]] std::string sha256Hex(std::span<const std::uint8_t> data);

}  // namespace vellumark
