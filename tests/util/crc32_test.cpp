#include "util/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string_view>
#include <vector>

namespace vellumark {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

TEST(Crc32, MatchesTheZipCheckValueAndContinuesAcrossPieces) {
  EXPECT_EQ(crc32Of(bytesOf("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32Of({}), 0u);
  EXPECT_EQ(crc32Update(0x12345678u, {}), 0x12345678u);
  // A stored entry is checked a sector at a time, odd lengths included.
  std::vector<std::uint8_t> data(70'001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  const auto whole = static_cast<std::uint32_t>(::crc32(0, data.data(), static_cast<uInt>(data.size())));
  EXPECT_EQ(crc32Of(data), whole);
  std::uint32_t pieces = 0;
  for (std::size_t at = 0; at < data.size(); at += 474) pieces = crc32Update(pieces, Bytes(data).subspan(at, std::min<std::size_t>(474, data.size() - at)));
  EXPECT_EQ(pieces, whole);
}

}  // namespace
}  // namespace vellumark
