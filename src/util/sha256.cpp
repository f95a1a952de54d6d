#include "util/sha256.h"

namespace vellumark {

Sha256::Sha256() { sha256_init(&context_); }

void Sha256::update(std::span<const std::uint8_t> data) {
  if (!data.empty()) sha256_update(&context_, data.size(), data.data());
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  sha256_digest(&context_, digest.size(), digest.data());
  return digest;
}

std::string sha256Hex(std::span<const std::uint8_t> data) {
  Sha256 hash;
  hash.update(data);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (std::uint8_t b : hash.finish()) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace vellumark
