#include "scan/read_ahead.h"

#include <gtest/gtest.h>

#include <numeric>

#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;

// An image of `sectors` 512-byte sectors whose every byte tells its own offset.
std::unique_ptr<MemorySource> countingSource(std::uint64_t sectors) {
  std::vector<std::uint8_t> bytes(sectors * 512);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
  return std::make_unique<MemorySource>(std::move(bytes));
}

std::uint8_t expectedByte(std::size_t i) { return static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF); }

struct ReadAheadTest : ::testing::Test {
  ScanState state;
  MemorySource* source = nullptr;

  void open(std::uint64_t sectors, std::int64_t scanEnd) {
    auto src = countingSource(sectors);
    source = src.get();
    openScanSource(state, std::move(src), "mem");
    state.scanEndSector = scanEnd;
  }
  void expectBytes(const std::vector<std::uint8_t>& got, std::int64_t offset, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(got[i], expectedByte(static_cast<std::size_t>(offset) + i)) << "byte " << i;
  }
};

TEST_F(ReadAheadTest, ServesRequestsInsideTheWindowWithoutReading) {
  open(1000, 999);
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(readSource(state, buf, 0), 0u);
  std::size_t calls = source->readCalls();
  ASSERT_EQ(readSource(state, buf, 512 * 100), 0u);
  EXPECT_EQ(source->readCalls(), calls);
  expectBytes(buf, 512 * 100, 512);
}

TEST_F(ReadAheadTest, RequestCrossingTheWindowEndIsCompletedFromARefill) {
  open(1000, 999);
  std::vector<std::uint8_t> buf(4096);
  ASSERT_EQ(readSource(state, buf, 0), 0u);
  ASSERT_EQ(readSource(state, buf, 65536 - 1000), 0u);
  expectBytes(buf, 65536 - 1000, 4096);
  EXPECT_EQ(state.readWindow.start, 65536);  // refilled at the first byte not delivered
}

TEST_F(ReadAheadTest, WindowNeverReachesPastTheScanRange) {
  open(2000, 999);  // limit 512,000
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(readSource(state, buf, 500000), 0u);
  EXPECT_EQ(state.readWindow.start, 446464);
  expectBytes(buf, 500000, 512);
}

TEST_F(ReadAheadTest, NothingAtOrPastTheLimitIsDelivered) {
  open(2000, 999);
  std::vector<std::uint8_t> buf(1024);
  std::size_t calls = source->readCalls();
  EXPECT_EQ(readSource(state, buf, 512000), 1024u);
  EXPECT_EQ(source->readCalls(), calls);
  // A request straddling the limit delivers only what lies before it.
  EXPECT_EQ(readSource(state, buf, 512000 - 512), 512u);
  expectBytes(buf, 512000 - 512, 512);
}

TEST_F(ReadAheadTest, ShortRangePlacesTheWindowAtZero) {
  open(100, 99);  // limit 51,200 < 65,536
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(readSource(state, buf, 512 * 50), 0u);
  EXPECT_EQ(state.readWindow.start, 0);
}

TEST_F(ReadAheadTest, BytesPastTheEndOfTheSourceAreNotDelivered) {
  // The scan range claims more sectors than the source holds (a shrinking device, a stale range).
  open(100, 199);
  std::vector<std::uint8_t> buf(1024);
  EXPECT_EQ(readSource(state, buf, 512 * 99), 512u);
  expectBytes(buf, 512 * 99, 512);
  EXPECT_EQ(readSource(state, buf, 512 * 150), 1024u);
}

TEST_F(ReadAheadTest, FailedReadKeepsTheWindowAndReportsEverything) {
  open(1000, 999);
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(readSource(state, buf, 0), 0u);
  source->failReadsIn(200000, 512);
  EXPECT_EQ(readSource(state, buf, 200000), 512u);
  EXPECT_TRUE(state.readWindow.valid);
  EXPECT_EQ(state.readWindow.start, 0);
  EXPECT_EQ(readSource(state, buf, 1024), 0u);
}

// The block a refill replaces stays at hand for looks back into it, until the next refill,
// a failed one excepted, or until another source is opened.
TEST_F(ReadAheadTest, TheBlockBeforeTheLastRefillIsKeptForLooksBackIntoIt) {
  open(2000, 1999);
  std::vector<std::uint8_t> buf(512);
  EXPECT_FALSE(state.readWindow.copyEarlier(0, buf));
  ASSERT_EQ(readSource(state, buf, 1000 * 512), 0u);
  ASSERT_EQ(readSource(state, buf, 300 * 512), 0u);
  const std::size_t calls = source->readCalls();
  ASSERT_TRUE(state.readWindow.copyEarlier(1100 * 512, buf));
  expectBytes(buf, 1100 * 512, 512);
  std::vector<std::uint8_t> last(16);
  ASSERT_TRUE(state.readWindow.copyEarlier(1000 * 512 + 65536 - 16, last));
  expectBytes(last, 1000 * 512 + 65536 - 16, 16);
  EXPECT_FALSE(state.readWindow.copyEarlier(1000 * 512 + 65536 - 8, last));  // runs past it
  EXPECT_FALSE(state.readWindow.copyEarlier(1000 * 512 - 512, buf));
  EXPECT_EQ(source->readCalls(), calls);

  source->failReadsIn(1600 * 512, 512);
  EXPECT_EQ(readSource(state, buf, 1600 * 512), 512u);
  ASSERT_TRUE(state.readWindow.copyEarlier(1100 * 512, buf));
  expectBytes(buf, 1100 * 512, 512);
  ASSERT_EQ(readSource(state, buf, 300 * 512), 0u);  // the window itself is as it was
  expectBytes(buf, 300 * 512, 512);

  openScanSource(state, countingSource(2000), "again");
  EXPECT_FALSE(state.readWindow.copyEarlier(1100 * 512, buf));
}

// A carve that reads near and far ahead in turn (a FAT sought clusters away) is served by the
// two blocks the window holds, whichever it asks for, and reads only when it leaves both.
TEST_F(ReadAheadTest, ReadsNearAndFarInTurnAreServedByTheTwoBlocks) {
  open(4000, 3999);
  std::vector<std::uint8_t> buf(4096);
  ASSERT_EQ(readSource(state, buf, 3000 * 512), 0u);
  ASSERT_EQ(readSource(state, buf, 100 * 512), 0u);
  const std::size_t calls = source->readCalls();
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(readSource(state, buf, 3000 * 512 + i * 4096), 0u);
    expectBytes(buf, 3000 * 512 + i * 4096, 4096);
    ASSERT_EQ(readSource(state, buf, 100 * 512 + i * 4096), 0u);
    expectBytes(buf, 100 * 512 + i * 4096, 4096);
  }
  EXPECT_EQ(source->readCalls(), calls);
  // Across the end of the far block: its last bytes from it, the rest from a refill.
  ASSERT_EQ(readSource(state, buf, 3000 * 512 + 65536 - 1000), 0u);
  expectBytes(buf, 3000 * 512 + 65536 - 1000, 4096);
  EXPECT_EQ(source->readCalls(), calls + 1);
}

TEST_F(ReadAheadTest, OpeningAnotherSourceEmptiesTheWindow) {
  open(200, 199);
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(readSource(state, buf, 0), 0u);
  ImageBuilder other(200);
  other.fill(0, 512 * 200, 0xAB);
  openScanSource(state, other.source(), "other");
  state.scanEndSector = 199;
  ASSERT_EQ(readSource(state, buf, 0), 0u);
  EXPECT_EQ(buf[0], 0xAB);
  closeScanSource(state);
  EXPECT_FALSE(state.readWindow.valid);
  EXPECT_EQ(readSource(state, buf, 0), 512u);
}

TEST_F(ReadAheadTest, LargeRequestSpansSeveralRefills) {
  open(1000, 999);
  std::vector<std::uint8_t> buf(200000);
  ASSERT_EQ(readSource(state, buf, 1000), 0u);
  expectBytes(buf, 1000, buf.size());
}

TEST_F(ReadAheadTest, RequestJustBeforeTheWindowRefillsItToEndJustPastWhereTheOldOneBegan) {
  open(2000, 1999);
  std::vector<std::uint8_t> buf(512);
  ASSERT_EQ(readSource(state, buf, 200 * 512), 0u);
  ASSERT_EQ(readSource(state, buf, 199 * 512), 0u);
  expectBytes(buf, 199 * 512, 512);
  EXPECT_EQ(state.readWindow.start, 200 * 512 - 65536 + 8192);
  const std::size_t before = source->readCalls();
  ASSERT_EQ(readSource(state, buf, 215 * 512), 0u);  // just above the old start: still held
  EXPECT_EQ(source->readCalls(), before);
  // The sectors below are served from it; a request reaching into the old window, or far
  // below, starts the window at the requested offset as always.
  const std::size_t calls = source->readCalls();
  ASSERT_EQ(readSource(state, buf, 100 * 512), 0u);
  EXPECT_EQ(source->readCalls(), calls);
  ASSERT_EQ(readSource(state, buf, 1500 * 512), 0u);
  std::vector<std::uint8_t> straddling(1024);
  ASSERT_EQ(readSource(state, straddling, 1500 * 512 - 512), 0u);
  expectBytes(straddling, 1500 * 512 - 512, 1024);
  EXPECT_EQ(state.readWindow.start, 1500 * 512 - 512);
  ASSERT_EQ(readSource(state, buf, 10 * 512), 0u);
  EXPECT_EQ(state.readWindow.start, 10 * 512);
  // Near the start of the source the window cannot begin before byte 0.
  ASSERT_EQ(readSource(state, buf, 0), 0u);
  EXPECT_EQ(state.readWindow.start, 0);
}

}  // namespace
}  // namespace vellumark
