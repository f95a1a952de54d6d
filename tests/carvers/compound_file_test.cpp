// The compound-file reader on hostile fields: what a damaged file declares never decides how
// much memory the checks take.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "carvers/compound_file.h"
#include "support/carve_setup.h"
#include "support/compound_writer.h"

namespace vellumark {
namespace {

void put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string structureOf(const std::vector<std::uint8_t>& file) {
  const auto header = cfb::readHeader(file);
  if (!header) return "no header";
  cfb::WholeFile whole(file);
  cfb::Fat fat;
  if (std::string p = cfb::collectFat(whole, *header, fat); !p.empty()) return p;
  const std::int64_t length = cfb::describedLength(*header, fat);
  std::vector<std::uint8_t> dir;
  if (std::string p = cfb::collectDirectory(whole, *header, fat, static_cast<std::int64_t>(file.size()) / header->sectorBytes - 2, dir);
      !p.empty())
    return p;
  return cfb::checkStructure(std::span(file).first(static_cast<std::size_t>(length)), length, *header, fat,
                             cfb::parseDirectory(dir));
}

// Found by the compound-file fuzzer: the root entry's size (the mini stream's length) sized
// a table of mini sectors before anything bounded it, so a version 4 file declaring 2^62
// bytes asked for 2^53 bytes of memory.
TEST(CompoundFileStructure, ARootEntryLargerThanTheFileIsDamage) {
  for (std::uint32_t sectorBytes : {512u, 4096u}) {
    SCOPED_TRACE(sectorBytes);
    auto file = test::writeCompoundFile({{"WordDocument", std::vector<std::uint8_t>(5000, 7)}, {"1Table", std::vector<std::uint8_t>(100, 8)}},
                                        {.sectorBytes = sectorBytes});
    ASSERT_EQ(structureOf(file), "");
    const auto header = cfb::readHeader(file);
    const auto root = static_cast<std::size_t>(header->sectorOffset(header->firstDirectorySector));
    for (std::uint64_t size : {std::uint64_t{0xFFFFFFFF}, std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
      auto bad = file;
      put64(bad, root + 120, size);
      EXPECT_NE(structureOf(bad), "");
    }
  }
}

// Every FAT sector a header lists is taken once: a repeat is refused wherever it comes,
// also past the first few the reader keeps in a short list.
TEST(CompoundFileFat, AFatSectorListedTwiceIsRefusedAtAnyPlace) {
  constexpr std::uint32_t kListed = 40;
  std::vector<std::uint8_t> file = test::makeCompoundFile({"Root Entry", "Workbook"}, 2);
  file.resize((1 + 10 + kListed) * 512, 0);
  auto put32 = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  for (std::uint32_t i = 0; i < kListed; ++i) put32(file, 76 + 4 * i, 10 + i);
  const auto header = cfb::readHeader(file);
  ASSERT_TRUE(header);
  auto problemOf = [&](const std::vector<std::uint8_t>& f, cfb::Fat& fat) {
    cfb::WholeFile whole(f);
    return cfb::collectFat(whole, *header, fat);
  };
  cfb::Fat fat;
  EXPECT_EQ(problemOf(file, fat), "");
  EXPECT_EQ(fat.fatSectors.size(), kListed);
  for (const std::uint32_t at : {1u, 4u, 31u, 32u, 35u, kListed - 1}) {
    std::vector<std::uint8_t> repeated = file;
    put32(repeated, 76 + 4 * at, 10 + at - 1);  // the entry before it again
    cfb::Fat none;
    EXPECT_EQ(problemOf(repeated, none), "FAT sector out of range or listed twice") << at;
  }
}

// What the first pass notes of a header comes back as it was: its fields do not run into one
// another, a directory sector past what the note holds is not noted as some other, and the
// link the carve would look at lies in the FAT sector of a header whose FAT is its own.
TEST(CompoundFileNote, KeepsTheHeaderFieldsTheCarvesTellFrom) {
  std::vector<std::uint8_t> h = test::compoundHeader(300'000, 40);
  const auto put = [&h](std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  auto noted = cfb::notedHeader(cfb::headerNote(h, std::vector<std::uint8_t>(63 * 512, 0x5A)));
  ASSERT_TRUE(noted);
  EXPECT_EQ(noted->firstFatSector, 300'000u);
  EXPECT_TRUE(noted->onlyFatSector);
  EXPECT_EQ(noted->sectorsWithoutFat, 63);
  EXPECT_TRUE(noted->directoryNoted && noted->noDifatChain);
  EXPECT_EQ(noted->header.firstDirectorySector, 40u);
  EXPECT_EQ(cfb::directoryLinkAhead(h), 512 * (300'000 + 1) + 4 * 40);

  put(0x30, 0xFFFFFFFE), put(0x44, 77);  // no directory; a DIFAT chain
  noted = cfb::notedHeader(cfb::headerNote(h));
  ASSERT_TRUE(noted);
  EXPECT_FALSE(noted->directoryNoted || noted->noDifatChain);
  EXPECT_EQ(noted->firstFatSector, 300'000u);
  EXPECT_EQ(cfb::directoryLinkAhead(h), -1);
  put(0x30, 127), put(0x44, 0xFFFFFFFE);  // its link's 8 bytes would leave the FAT sector
  EXPECT_EQ(cfb::directoryLinkAhead(h), -1);
}

}  // namespace
}  // namespace vellumark
