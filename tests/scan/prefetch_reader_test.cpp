#include "scan/prefetch_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "scan/used_sector_map.h"
#include "source/sector_source.h"

namespace vellumark {
namespace {

std::vector<std::uint8_t> numbered(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

PrefetchOptions smallChunks() {
  PrefetchOptions o;
  o.chunkBytes = 4096;
  o.depth = 3;
  return o;
}

// A short range is read without a thread, a longer one on the reader's thread: both hand
// out the same chunks.
TEST(PrefetchReaderTest, HandsOutEveryChunkInOrderWithTheSourceBytes) {
  for (const std::size_t chunks : {std::size_t{10}, PrefetchReader::kSmallRangeChunks + 7}) {
    const std::vector<std::uint8_t> bytes = numbered(chunks * 4096 + 1024);
    MemorySource source(bytes);
    PrefetchReader reader(source, 512, static_cast<std::int64_t>(bytes.size()), smallChunks());
    std::int64_t expected = 512;
    while (const PrefetchChunk* chunk = reader.next()) {
      ASSERT_EQ(chunk->offset, expected);
      ASSERT_EQ(chunk->status, ChunkStatus::Read);
      ASSERT_EQ(chunk->bytes.size(), static_cast<std::size_t>(chunk->length));
      EXPECT_TRUE(std::equal(chunk->bytes.begin(), chunk->bytes.end(), bytes.begin() + chunk->offset));
      expected += chunk->length;
    }
    EXPECT_EQ(expected, static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(reader.next(), nullptr);
  }
}

TEST(PrefetchReaderTest, AFailedReadFailsOnlyItsChunkAndUnwantedChunksAreNotRead) {
  for (const std::size_t chunks : {std::size_t{8}, PrefetchReader::kSmallRangeChunks + 4}) {
    const auto size = static_cast<std::int64_t>(chunks * 4096);
    MemorySource source(numbered(static_cast<std::size_t>(size)));
    source.failReadsIn(2 * 4096 + 100, 1);
    PrefetchOptions o = smallChunks();
    o.wanted = [](std::int64_t offset, std::int64_t) { return offset != 5 * 4096; };
    PrefetchReader reader(source, 0, size, o);
    std::vector<ChunkStatus> seen;
    while (const PrefetchChunk* chunk = reader.next()) seen.push_back(chunk->status);
    std::vector<ChunkStatus> expected(chunks, ChunkStatus::Read);
    expected[2] = ChunkStatus::Failed;
    expected[5] = ChunkStatus::Skipped;
    EXPECT_EQ(seen, expected) << chunks;
  }
}

TEST(PrefetchReaderTest, StoppingEarlyWaitsForTheReaderAndLeavesNothingRunning) {
  MemorySource source(numbered(64 * 4096));
  for (int round = 0; round < 20; ++round) {
    PrefetchReader reader(source, 0, 64 * 4096, smallChunks());
    ASSERT_NE(reader.next(), nullptr);
  }
}

TEST(UsedSectorMapFreeSectorAfter, CountsFreeSectorsAcrossWholeWordsAndUsedRuns) {
  UsedSectorMap map;
  ASSERT_TRUE(map.allocate(3, 1000));
  EXPECT_EQ(map.freeSectorAfter(3, 0, 1000), 3);
  EXPECT_EQ(map.freeSectorAfter(10, 500, 1000), 510);
  map.markSectorRun(200, 100);  // 100..299 used
  EXPECT_EQ(map.freeSectorAfter(50, 49, 1000), 99);
  EXPECT_EQ(map.freeSectorAfter(50, 50, 1000), 300);
  EXPECT_EQ(map.freeSectorAfter(50, 50 + 700, 1000), 1000);
  EXPECT_EQ(map.freeSectorAfter(50, 50 + 701, 1000), -1);
  EXPECT_EQ(map.freeSectorAfter(50, 60, 305), -1);
  // The same answers as stepping sector by sector.
  map.markSector(333);
  map.markSector(640);
  for (std::int64_t skip : {0, 1, 63, 64, 65, 127, 128, 300, 600}) {
    std::int64_t s = 7, left = skip;
    for (; s <= 1000; ++s)
      if (!map.isSectorUsed(s) && left-- == 0) break;
    EXPECT_EQ(map.freeSectorAfter(7, skip, 1000), s <= 1000 ? s : -1) << skip;
  }
}

}  // namespace
}  // namespace vellumark
