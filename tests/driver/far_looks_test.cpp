#include "driver/far_looks.h"

#include <gtest/gtest.h>

#include <vector>

namespace vellumark {
namespace {

std::array<std::uint8_t, FarLooks::kBytes> bytesFor(std::int64_t offset) {
  std::array<std::uint8_t, FarLooks::kBytes> b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(offset * 31 + static_cast<std::int64_t>(i) * 7);
  return b;
}

// Whatever was kept and whatever took its slot since, a look is answered with the bytes of
// its own offset or not at all.
TEST(FarLooks, AnswersOnlyWithTheBytesOfTheOffsetAsked) {
  FarLooks looks;
  std::array<std::uint8_t, 4> four{};
  EXPECT_FALSE(looks.copy(0, four));
  const std::vector<std::uint8_t> few{1, 2, 3};
  looks.keep(512, few);
  EXPECT_FALSE(looks.copy(512, std::span(four).first(3)));  // fewer than kBytes are not kept

  constexpr std::int64_t kLooks = std::int64_t{3} << FarLooks::kSlotBits;
  for (std::int64_t i = 0; i < kLooks; ++i) looks.keep(i * 4096 + 12, bytesFor(i * 4096 + 12));
  std::int64_t answered = 0;
  for (std::int64_t i = 0; i < kLooks; ++i) {
    const std::int64_t offset = i * 4096 + 12;
    std::array<std::uint8_t, FarLooks::kBytes> got{};
    if (!looks.copy(offset, got)) continue;
    ++answered;
    ASSERT_EQ(got, bytesFor(offset)) << offset;
    EXPECT_FALSE(looks.copy(offset + 1, four));
  }
  EXPECT_GT(answered, kLooks / 6);
  std::array<std::uint8_t, FarLooks::kBytes + 1> tooMany{};
  EXPECT_FALSE(looks.copy((kLooks - 1) * 4096 + 12, tooMany));
}

}  // namespace
}  // namespace vellumark
