// Partition tables: what sfdisk and sgdisk write is read as sfdisk itself reads it, a
// damaged primary GPT falls back to the backup, and hostile tables end cleanly.

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <sstream>

#include "source/partition_table.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;
using test::quoted;
using test::TempDir;

struct Span {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

// The partitions `sfdisk --json` lists, without MBR extended containers.
std::vector<Span> sfdiskPartitions(const std::string& device) {
  const std::string script =
      "import json,sys\n"
      "t=json.load(sys.stdin)[\"partitiontable\"]\n"
      "[print(p[\"start\"],p[\"size\"]) for p in t[\"partitions\"] if p.get(\"type\",\"\").lower() not in (\"5\",\"f\",\"85\")]\n";
  int status = -1;
  const std::string out = test::commandOutput("sfdisk --json " + device + " | python3 -c " + quoted(std::filesystem::path(script)), &status);
  std::vector<Span> spans;
  std::istringstream in(out);
  for (Span s; in >> s.start >> s.size;) spans.push_back(s);
  return spans;
}

std::vector<Span> spansOf(const PartitionTable& table) {
  std::vector<Span> spans;
  for (const PartitionEntry& e : table.partitions) spans.push_back({e.firstSector, e.sectorCount});
  return spans;
}

PartitionTable readImage(const std::vector<std::uint8_t>& bytes, std::uint32_t sectorSize = 512) {
  const DiskReader read = [&bytes](std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  };
  return readPartitionTable(read, bytes.size(), sectorSize);
}

PartitionTable readFile(const std::filesystem::path& path) { return readImage(test::readFileBytes(path)); }

bool haveTools() { return test::haveProgram("sfdisk") && test::haveProgram("sgdisk") && test::haveProgram("python3"); }

TEST(PartitionTable, MbrWithLogicalPartitionsReadsAsSfdiskReadsIt) {
  if (!haveTools()) GTEST_SKIP() << "sfdisk, sgdisk or python3 missing";
  TempDir dir;
  const auto image = dir / "mbr.img";
  ASSERT_TRUE(test::shellOk("truncate -s 64M " + quoted(image) + " && printf 'label: dos\\n2048,20480,c\\n"
                            "22528,,5\\n24576,8192,83\\n34816,8192,7\\n,4096,c\\n' | sfdisk -q " + quoted(image)));
  const PartitionTable table = readFile(image);
  EXPECT_EQ(table.scheme, PartitionScheme::Mbr);
  EXPECT_EQ(spansOf(table), sfdiskPartitions(quoted(image)));
  ASSERT_EQ(table.partitions.size(), 4u);
  EXPECT_EQ(table.partitions[1].number, 5);
  EXPECT_TRUE(table.partitions[1].logical);
  EXPECT_EQ(table.partitions[2].mbrType, 0x07);
  EXPECT_EQ(table.partitions[3].number, 7);
  EXPECT_TRUE(table.problems.empty());
}

TEST(PartitionTable, GptWithFourPartitionsAndItsBackup) {
  if (!haveTools()) GTEST_SKIP() << "sfdisk, sgdisk or python3 missing";
  TempDir dir;
  const auto image = dir / "gpt.img";
  ASSERT_TRUE(test::shellOk("truncate -s 64M " + quoted(image) + " && sgdisk -n1:2048:+4M -t1:ef00 -n2:0:+8M "
                            "-c2:data -n3:0:+8M -t3:0700 -n4:0:0 " + quoted(image)));
  const std::vector<Span> expected = sfdiskPartitions(quoted(image));
  ASSERT_EQ(expected.size(), 4u);
  PartitionTable table = readFile(image);
  EXPECT_EQ(table.scheme, PartitionScheme::Gpt);
  EXPECT_EQ(spansOf(table), expected);
  EXPECT_FALSE(table.backupHeaderUsed);
  EXPECT_EQ(table.partitions[1].name, "data");
  EXPECT_EQ(partitionTypeName(table.partitions[0], table.scheme), "EFI system");
  EXPECT_EQ(partitionTypeName(table.partitions[2], table.scheme), "Microsoft basic data");

  // The primary header destroyed: the backup at the end of the disk gives the same table.
  std::vector<std::uint8_t> bytes = test::readFileBytes(image);
  std::fill_n(bytes.begin() + 512, 512, 0);
  table = readImage(bytes);
  EXPECT_TRUE(table.backupHeaderUsed);
  EXPECT_EQ(spansOf(table), expected);
  ASSERT_EQ(table.problems.size(), 1u);

  // A damaged primary entry array (CRC mismatch) also sends the parser to the backup.
  bytes = test::readFileBytes(image);
  bytes[1024 + 32] ^= 0x01;  // the first entry's first LBA
  table = readImage(bytes);
  EXPECT_TRUE(table.backupHeaderUsed);
  EXPECT_EQ(spansOf(table), expected);

  // Both copies damaged: nothing is made up.
  std::fill_n(bytes.end() - 512, 512, 0);
  table = readImage(bytes);
  EXPECT_TRUE(table.partitions.empty());
  ASSERT_EQ(table.problems.size(), 1u);
  EXPECT_NE(table.problems[0].find("and so is the backup"), std::string::npos) << table.problems[0];
}

TEST(PartitionTable, GptInFourKibibyteSectorsOnALoopDevice) {
  if (!haveTools() || !test::haveProgram("losetup")) GTEST_SKIP() << "tools missing";
  TempDir dir;
  const auto image = dir / "gpt4k.img";
  ASSERT_TRUE(test::shellOk("truncate -s 64M " + quoted(image)));
  int status = -1;
  std::string loop = test::commandOutput("losetup -f --show -b 4096 " + quoted(image) + " 2>/dev/null", &status);
  if (status != 0 || loop.empty()) GTEST_SKIP() << "loop devices cannot be set up here";
  loop.erase(loop.find_last_not_of('\n') + 1);
  const bool made = test::shellOk("printf 'label: gpt\\nsize=4096,type=uefi\\nsize=2048\\n,\\n' | sfdisk -q " + loop +
                                  " 2>/dev/null; sync");
  const std::vector<Span> expected = sfdiskPartitions(loop);
  test::shellOk("losetup -d " + loop);
  ASSERT_TRUE(made || !expected.empty());
  ASSERT_EQ(expected.size(), 3u);
  // An image file reports 512-byte sectors; the header at byte 4096 tells the truth.
  const PartitionTable table = readFile(image);
  EXPECT_EQ(table.sectorSize, 4096u);
  EXPECT_EQ(spansOf(table), expected);
}

// A 64 MiB image with an MBR at sector 0.
ImageBuilder mbrDisk() {
  ImageBuilder b(131072);
  b.putLe16(510, 0xAA55);
  return b;
}

void putMbrEntry(ImageBuilder& b, std::uint64_t sector, int slot, std::uint8_t type, std::uint32_t start,
                 std::uint32_t count) {
  const std::uint64_t at = sector * 512 + 446 + static_cast<std::uint64_t>(slot) * 16;
  b.putBytes(at + 4, std::vector<std::uint8_t>{type}).putLe32(at + 8, start).putLe32(at + 12, count);
  b.putLe16(sector * 512 + 510, 0xAA55);
}

TEST(PartitionTable, ALoopInTheExtendedChainEndsCleanly) {
  ImageBuilder b = mbrDisk();
  putMbrEntry(b, 0, 0, 0x05, 1000, 100000);
  putMbrEntry(b, 1000, 0, 0x83, 10, 100);
  putMbrEntry(b, 1000, 1, 0x05, 500, 1000);    // next EBR at 1500
  putMbrEntry(b, 1500, 0, 0x83, 10, 100);
  putMbrEntry(b, 1500, 1, 0x05, 0, 1000);      // ... back to 1000
  const PartitionTable table = readImage(b.bytes());
  EXPECT_EQ(table.partitions.size(), 2u);
  ASSERT_FALSE(table.problems.empty());
  EXPECT_NE(table.problems[0].find("loops"), std::string::npos);
}

TEST(PartitionTable, AnEndlessChainStopsAtTheLimit) {
  ImageBuilder b = mbrDisk();
  putMbrEntry(b, 0, 0, 0x0F, 1000, 100000);
  for (std::uint32_t i = 0; i < 200; ++i) {  // each EBR links to the next, forever forward
    putMbrEntry(b, 1000 + 2 * i, 0, 0x83, 1, 1);
    putMbrEntry(b, 1000 + 2 * i, 1, 0x05, 2 * (i + 1), 2);
  }
  const PartitionTable table = readImage(b.bytes());
  EXPECT_EQ(table.partitions.size(), static_cast<std::size_t>(kMaxLogicalPartitions));
  EXPECT_FALSE(table.problems.empty());
}

// A GPT header at sector 1 whose CRC is right for whatever fields were put in.
void putGptHeader(ImageBuilder& b, std::uint32_t entryCount, std::uint32_t entrySize, std::uint32_t arrayCrc) {
  putMbrEntry(b, 0, 0, 0xEE, 1, 131071);
  b.putText(512, "EFI PART").putLe32(520, 0x10000).putLe32(524, 92).putLe64(536, 1).putLe64(544, 131071);
  b.putLe64(552, 34).putLe64(560, 131038).putLe64(584, 2).putLe32(592, entryCount).putLe32(596, entrySize);
  b.putLe32(600, arrayCrc).putLe32(528, 0);
  const auto& bytes = b.bytes();
  b.putLe32(528, static_cast<std::uint32_t>(::crc32(0, bytes.data() + 512, 92)));
}

TEST(PartitionTable, EntryCountsNearTwoToTheThirtyTwoAreRefused) {
  for (std::uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x02000001u}) {
    ImageBuilder b = mbrDisk();
    putGptHeader(b, count, 128, 0);
    const PartitionTable table = readImage(b.bytes());
    EXPECT_EQ(table.scheme, PartitionScheme::Gpt);
    EXPECT_TRUE(table.partitions.empty());
    ASSERT_FALSE(table.problems.empty());
    EXPECT_NE(table.problems[0].find("implausibly large"), std::string::npos) << table.problems[0];
  }
  // An entry size of 2^31 with 2 entries: the product does not wrap either.
  ImageBuilder b = mbrDisk();
  putGptHeader(b, 2, 0x80000000u, 0);
  EXPECT_TRUE(readImage(b.bytes()).partitions.empty());
}

TEST(PartitionTable, RandomTablesEndCleanly) {
  std::mt19937 rng(16);
  for (int round = 0; round < 300; ++round) {
    ImageBuilder b(1024);
    b.fillRandom(0, 64 * 512, static_cast<std::uint32_t>(round));
    for (int slot = 0; slot < 4; ++slot) {
      const std::uint8_t type = std::array<std::uint8_t, 4>{0x05, 0x0F, 0x0C, 0xEE}[rng() % 4];
      putMbrEntry(b, 0, slot, type, static_cast<std::uint32_t>(rng() % 1200), static_cast<std::uint32_t>(rng()));
      b.putBytes(446 + static_cast<std::uint64_t>(slot) * 16, std::vector<std::uint8_t>{0x00});
    }
    for (int i = 0; i < 20; ++i) {  // extended boot records pointing anywhere
      const std::uint64_t at = rng() % 1024;
      putMbrEntry(b, at, 0, 0x83, static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng()));
      putMbrEntry(b, at, 1, 0x05, static_cast<std::uint32_t>(rng() % 1024), static_cast<std::uint32_t>(rng()));
    }
    if (round % 2 == 0) putGptHeader(b, rng() % 512, 128 * (1 + rng() % 4), static_cast<std::uint32_t>(rng()));
    const PartitionTable table = readImage(b.bytes());
    EXPECT_LE(table.partitions.size(), 4u + kMaxLogicalPartitions + 2048u);
  }
}

TEST(PartitionTable, TruncatedAndEmptyInputsGiveNoTable) {
  EXPECT_EQ(readImage({}).scheme, PartitionScheme::None);
  ImageBuilder b = mbrDisk();
  putMbrEntry(b, 0, 0, 0x0C, 2048, 4096);
  std::vector<std::uint8_t> bytes(b.bytes().begin(), b.bytes().begin() + 512);
  const PartitionTable table = readImage(bytes);  // the partition lies past the end
  EXPECT_EQ(table.partitions.size(), 1u);
  EXPECT_FALSE(table.problems.empty());
  // A status byte other than 0x00 and 0x80: boot code, not a table.
  bytes[446] = 0x12;
  EXPECT_EQ(readImage(bytes).scheme, PartitionScheme::None);
}

}  // namespace
}  // namespace vellumark
