#include "util/byte_reader.h"

#include <gtest/gtest.h>

#include <array>

namespace vellumark {
namespace {

constexpr std::array<std::uint8_t, 10> kData{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xFF};

TEST(ByteReader, DecodesBothByteOrders) {
  Bytes b(kData);
  EXPECT_EQ(le16(b, 0), 0x0201);
  EXPECT_EQ(be16(b, 0), 0x0102);
  EXPECT_EQ(le32(b, 1), 0x05040302u);
  EXPECT_EQ(be32(b, 1), 0x02030405u);
  EXPECT_EQ(le64(b, 0), 0x0807060504030201ull);
  EXPECT_EQ(be64(b, 0), 0x0102030405060708ull);
  EXPECT_EQ(leN(b, 7, 3), 0xFF0908u);
  EXPECT_EQ(leN(b, 0, 0), 0u);
}

TEST(ByteReader, FieldsPastTheEndReadAsZero) {
  Bytes b(kData);
  EXPECT_EQ(le16(b, 9), 0);
  EXPECT_EQ(le32(b, 7), 0u);
  EXPECT_EQ(le64(b, 3), 0u);
  EXPECT_EQ(be32(b, SIZE_MAX - 1), 0u);  // no wrap-around on huge offsets
  EXPECT_EQ(u8At(b, 10), 0);
  EXPECT_EQ(leN(b, 0, 9), 0u);
  EXPECT_FALSE(fits(b, SIZE_MAX, 2));
  EXPECT_TRUE(fits(b, 10, 0));
}

TEST(ByteReader, ComparesTextExactlyOrIgnoringCase) {
  const std::array<std::uint8_t, 6> text{'W', 'o', 'r', 'd', '/', 'x'};
  Bytes b(text);
  EXPECT_TRUE(bytesEqual(b, 0, "Word/"));
  EXPECT_FALSE(bytesEqual(b, 0, "word/"));
  EXPECT_TRUE(bytesEqualNoCase(b, 0, "word/"));
  EXPECT_FALSE(bytesEqualNoCase(b, 2, "rd/xy"));  // runs past the end
  EXPECT_FALSE(bytesEqualNoCase(b, 4, "@x"));     // '@' and '`' differ only in bit 0x20 but are not letters
}

}  // namespace
}  // namespace vellumark
