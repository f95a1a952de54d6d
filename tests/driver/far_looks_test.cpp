#include "driver/far_looks.h"

#include "carvers/carver_registry.h"
#include "scan/type_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Places wanted in any order while the range is read upwards: each is answered from the chunk
// that holds all of its bytes, and one that straddles two chunks, or lies below the chunks
// read (a stretch that failed), is not kept at all.
TEST(FarLooks, GatheredPlacesAreKeptFromTheChunkThatHoldsThem) {
  std::vector<std::uint8_t> range(4 * 1024);
  for (std::size_t i = 0; i < range.size(); ++i) range[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const auto chunk = [&range](std::int64_t at) { return std::span<const std::uint8_t>(range).subspan(static_cast<std::size_t>(at), 1024); };
  FarLooks looks;
  LookHarvest harvest;
  for (const std::int64_t at : {3000, 100, 1020, 2048, 3070, 100, 500}) harvest.want(at);
  harvest.take(1024, chunk(1024), looks);  // as after a first chunk that could not be read
  harvest.want(3500);
  harvest.take(2048, chunk(2048), looks);
  harvest.take(3072, chunk(3072), looks);

  std::array<std::uint8_t, FarLooks::kBytes> got{};
  for (const std::int64_t at : {2048, 3000, 3500}) {
    ASSERT_TRUE(looks.copy(at, got)) << at;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), range.begin() + at)) << at;
  }
  for (const std::int64_t at : {100, 500, 1020, 3070}) EXPECT_FALSE(looks.copy(at, got)) << at;
  // Later looks of the carves, kept in the table, push none of the gathered ones out.
  for (std::int64_t i = 0; i < (std::int64_t{2} << FarLooks::kSlotBits); ++i) looks.keep(i * 8 + 1, bytesFor(i));
  EXPECT_TRUE(looks.copy(3000, std::span(got).first(4)));
}

// The place a ZIP-based carve looks at first, as the first pass gathers it: where the record
// after the candidate's local header begins, when the header alone says.
TEST(FarLooks, ZipCandidatesNameTheEndOfTheirFirstRecord) {
  std::vector<std::uint8_t> sector(512, 0);
  const auto put = [&sector](std::size_t at, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) sector[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0, 0x04034B50, 4);
  put(18, 70000, 4);  // compressed
  put(22, 90000, 4);  // uncompressed
  put(26, 19, 2);     // name
  put(28, 9, 2);      // extra
  EXPECT_EQ(firstLookAhead(kTypeOoxml, sector), 30 + 19 + 9 + 70000);
  EXPECT_EQ(firstLookAhead(kTypeZip, sector), 30 + 19 + 9 + 70000);
  EXPECT_EQ(firstLookAhead(kTypeJpegApp, sector), -1);
  EXPECT_EQ(firstLookAhead(kTypeOoxml, std::span(sector).first(29)), -1);
  put(22, 0xFFFFFFFF, 4);  // sizes in a ZIP64 field
  EXPECT_EQ(firstLookAhead(kTypeOoxml, sector), -1);
  put(22, 90000, 4);
  put(6, 0x0008, 2);  // sizes after the data
  EXPECT_EQ(firstLookAhead(kTypeOoxml, sector), -1);
  put(6, 0, 2);
  put(0, 0x04034B51, 4);
  EXPECT_EQ(firstLookAhead(kTypeOoxml, sector), -1);
}

}  // namespace
}  // namespace vellumark
