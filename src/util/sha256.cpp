#include "util/sha256.h"

#include <openssl/evp.h>

namespace vellumark {

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;
};

Sha256::Sha256() : context_(new Context) {
  context_->md = EVP_MD_CTX_new();
  failed_ = context_->md == nullptr || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(context_->md);
  delete context_;
}

void Sha256::update(std::span<const std::uint8_t> data) {
  if (failed_ || data.empty()) return;
  failed_ = EVP_DigestUpdate(context_->md, data.data(), data.size()) != 1;
}

std::optional<std::array<std::uint8_t, 32>> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (failed_ || EVP_DigestFinal_ex(context_->md, digest.data(), &length) != 1 || length != digest.size()) {
    failed_ = true;
    return std::nullopt;
  }
  failed_ = true;  // spent
  return digest;
}

std::string sha256Hex(std::span<const std::uint8_t> data) {
  Sha256 hash;
  hash.update(data);
  const std::optional<std::array<std::uint8_t, 32>> digest = hash.finish();
  if (!digest) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(64);
  for (std::uint8_t b : *digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace vellumark
