// The compound-file check of the fragment search: real documents taken cluster by cluster
// hold together, a wrong cluster is refused where a structure says what belongs there, and
// FAT and directory sectors are told by their shape.

#include <gtest/gtest.h>

#include <iostream>
#include <random>

#include "carvers/compound_gap_search.h"
#include "support/image_builder.h"

namespace vellumark::cfb {
namespace {

using Bytes8 = std::vector<std::uint8_t>;
constexpr std::size_t kCluster = 4096;

std::vector<test::CorpusDocument> compoundDocuments() {
  std::vector<test::CorpusDocument> out;
  for (const test::CorpusDocument& d : test::corpusDocuments())
    if (d.ext == "doc" || d.ext == "xls" || d.ext == "ppt") out.push_back(d);
  return out;
}

Bytes8 corpusFile(const std::string& name) {
  for (const test::CorpusDocument& d : test::corpusDocuments())
    if (d.name == name) return test::readFileBytes(d.path);
  return {};
}

// Reads from an image in memory, counting the reads.
struct CountingReader final : CarveReader {
  const Bytes8& image;
  int reads = 0;
  explicit CountingReader(const Bytes8& i) : image(i) {}
  bool read(std::int64_t offset, std::span<std::uint8_t> dest) override {
    ++reads;
    if (offset < 0 || offset + std::ssize(dest) > std::ssize(image)) return false;
    std::copy_n(image.begin() + offset, dest.size(), dest.begin());
    return true;
  }
};

// Nothing claimed, 4 KiB clusters, the whole image in range.
void coverImage(const Bytes8& image, UsedSectorMap& claims, GapSearchGeometry& g) {
  g.sectorsPerCluster = 8;
  g.lastSector = static_cast<std::int64_t>(image.size() / 512) - 1;
  ASSERT_TRUE(claims.allocate(g.lastSector));
}

Bytes8 junk(std::uint32_t seed) {
  std::mt19937 r(seed);
  Bytes8 b(kCluster);
  for (std::uint8_t& c : b) c = static_cast<std::uint8_t>(r());
  return b;
}

// Feeds the file cluster by cluster, cluster `wrong` replaced by junk; the verdict that
// ended the feed and the cluster it came at.
std::pair<FragmentVerdict, std::size_t> feed(CompoundFragmentCheck& check, const Bytes8& file, std::size_t wrong = SIZE_MAX) {
  const Bytes8 bad = junk(static_cast<std::uint32_t>(wrong));
  for (std::size_t c = 0;; ++c) {
    Bytes8 cluster(kCluster, 0);
    const std::size_t from = c * kCluster;
    if (from < file.size()) std::copy(file.begin() + from, file.begin() + std::min(file.size(), from + kCluster), cluster.begin());
    const FragmentVerdict v = check.take(c == wrong ? Bytes(bad) : Bytes(cluster));
    if (v != FragmentVerdict::Consistent) return {v, c};
  }
}

TEST(CompoundFragmentCheck, RealDocumentsHoldTogetherAndWrongClustersAreRefusedWhereChecked) {
  const auto docs = compoundDocuments();
  ASSERT_GE(docs.size(), 30u);
  int refusedAtOnce = 0, wrongTotal = 0;
  for (const test::CorpusDocument& d : docs) {
    SCOPED_TRACE(d.name);
    const Bytes8 file = test::readFileBytes(d.path);
    CompoundFragmentCheck whole;
    ASSERT_EQ(feed(whole, file).first, FragmentVerdict::Complete);
    const Bytes doc = whole.document();
    ASSERT_LE(doc.size(), file.size());
    EXPECT_TRUE(std::equal(doc.begin(), doc.end(), file.begin()));
    // A junk cluster where a check looks is never taken for the document.
    for (std::size_t wrong = 1; wrong * kCluster < doc.size(); ++wrong) {
      const auto offset = static_cast<std::int64_t>(wrong * kCluster);
      if (!whole.confirmed(offset, static_cast<std::int64_t>(std::min(kCluster, doc.size() - wrong * kCluster)))) continue;
      CompoundFragmentCheck check;
      const auto [verdict, at] = feed(check, file, wrong);
      EXPECT_EQ(verdict, FragmentVerdict::Broken) << "junk at cluster " << wrong;
      if (verdict == FragmentVerdict::Broken) {
        EXPECT_LE(check.blameFrom(), offset) << "junk at cluster " << wrong;
      }
      ++wrongTotal;
      refusedAtOnce += at == wrong;
    }
  }
  std::cout << "junk clusters refused as they were taken: " << refusedAtOnce << "/" << wrongTotal << "\n";
}

TEST(CompoundFragmentCheck, HintedFatAndDirectoryLetTheFirstClustersBeChecked) {
  // The FAT and directory of this workbook are its last sectors, in its last cluster.
  const Bytes8 file = corpusFile("44693.xls");
  const std::optional<CompoundFile> cf = openCompoundFile(file);
  ASSERT_TRUE(cf);
  const std::uint32_t fat = cf->fat.fatSectors.front();
  ASSERT_EQ(cf->header.sectorOffset(fat) / kCluster, 9u);
  CompoundFragmentCheck unhinted;
  EXPECT_EQ(feed(unhinted, file, 3), std::make_pair(FragmentVerdict::Broken, std::size_t{9}));  // once the FAT comes

  auto sector = [&](std::uint32_t s) { return Bytes(file).subspan(static_cast<std::size_t>(cf->header.sectorOffset(s)), 512); };
  CompoundFragmentCheck hinted;
  for (std::uint32_t s : {fat, cf->header.firstDirectorySector}) hinted.hint(s, sector(s));
  EXPECT_EQ(feed(hinted, file, 3), std::make_pair(FragmentVerdict::Broken, std::size_t{3}));
  EXPECT_LE(hinted.blameFrom(), 3 * static_cast<std::int64_t>(kCluster));
  CompoundFragmentCheck rightHints;
  for (std::uint32_t s : {fat, cf->header.firstDirectorySector}) rightHints.hint(s, sector(s));
  EXPECT_EQ(feed(rightHints, file).first, FragmentVerdict::Complete);
  // Sector numbers come from the file: a hint far past any file, or one of the wrong
  // length, costs nothing and changes nothing.
  CompoundFragmentCheck farHints;
  farHints.hint(0xFFFFFFF0u, sector(fat));
  farHints.hint(fat, sector(fat).first(100));
  EXPECT_EQ(feed(farHints, file).first, FragmentVerdict::Complete);
  // A hint that does not match what is taken at its place refuses the file.
  CompoundFragmentCheck wrongHint;
  Bytes8 other(sector(fat).begin(), sector(fat).end());
  other[4] ^= 1;
  wrongHint.hint(fat, other);
  EXPECT_EQ(feed(wrongHint, file).first, FragmentVerdict::Broken);
}

TEST(CompoundFragmentCheck, FatAndDirectorySectorsAreToldByTheirShape) {
  const Bytes8 file = corpusFile("44693.xls");
  const std::optional<CompoundFile> cf = openCompoundFile(file);
  ASSERT_TRUE(cf);
  const Bytes fat = Bytes(file).subspan(cf->header.sectorOffset(cf->fat.fatSectors[0]), 512);
  const Bytes dir = Bytes(file).subspan(cf->header.sectorOffset(cf->header.firstDirectorySector), 512);
  const Bytes data = Bytes(file).subspan(cf->header.sectorOffset(0), 512);
  const Bytes8 random = junk(5);
  const Bytes noise = Bytes(random).first(512);
  EXPECT_TRUE(looksLikeFatSector(fat, 0, cf->fat.fatSectors));
  EXPECT_FALSE(looksLikeFatSector(fat, 0, {cf->fat.fatSectors[0] + 1}));  // its own mark is elsewhere
  for (Bytes other : {dir, data, noise}) EXPECT_FALSE(looksLikeFatSector(other, 0, cf->fat.fatSectors));
  EXPECT_TRUE(looksLikeDirectorySector(dir, true));
  for (Bytes other : {fat, data, noise}) EXPECT_FALSE(looksLikeDirectorySector(other, false));
}


// Where no check looks (a Word document whose stream holds a picture), the assembly is
// trusted only while it runs on in one step: a gap there could have been placed elsewhere.
TEST(CompoundFragmentCheck, UncheckedClustersAreTrustedOnlyWhereTheStepHolds) {
  const Bytes8 file = corpusFile("58804_1.doc");
  CompoundFragmentCheck check;
  ASSERT_EQ(feed(check, file).first, FragmentVerdict::Complete);
  const auto length = static_cast<std::int64_t>(check.document().size());
  ASSERT_FALSE(check.confirmed(5 * kCluster, kCluster));
  ASSERT_TRUE(check.confirmed(12 * kCluster, kCluster));
  GapSearchGeometry g;
  g.sectorsPerCluster = 8;
  g.lastSector = 1 << 20;
  auto assembly = [](std::vector<std::int64_t> clusters) {
    FragmentAssembly a;
    for (std::int64_t c : clusters)
      for (std::int64_t s = 0; s < 8; ++s) a.sectors.push_back(8 * c + s);
    return a;
  };
  std::vector<std::int64_t> runOn, stride, gapUnchecked, gapChecked;
  for (std::int64_t i = 0; i < 15; ++i) {
    runOn.push_back(i);
    stride.push_back(2 * i);
    gapUnchecked.push_back(i < 5 ? i : i + 3);
    gapChecked.push_back(i < 12 ? i : i + 3);
  }
  EXPECT_TRUE(trustworthy(check, assembly(runOn), g, 0, length));
  EXPECT_TRUE(trustworthy(check, assembly(stride), g, 0, length));
  EXPECT_FALSE(trustworthy(check, assembly(gapUnchecked), g, 0, length));
  EXPECT_TRUE(trustworthy(check, assembly(gapChecked), g, 0, length));
}

// Headers one after another (noise, or a document's first cluster copied) each look ahead
// for their FAT: what one look learnt of the clusters ahead spares the next its reads, and
// never changes what any of them finds.
TEST(CompoundFragmentCheck, StructureLooksShareWhatTheyLearntWithoutChangingWhatTheyFind) {
  const Bytes8 file = corpusFile("44693.xls");
  ASSERT_FALSE(file.empty());
  constexpr std::int64_t kFileAt = 40;
  Bytes8 image;
  for (std::uint32_t c = 0; c < kFileAt; ++c) {
    const Bytes8 j = junk(100 + c);
    image.insert(image.end(), j.begin(), j.end());
  }
  image.insert(image.end(), file.begin(), file.end());
  image.resize((image.size() + kCluster - 1) / kCluster * kCluster + 8 * kCluster, 0x5A);
  // Clusters 20..24 begin with the workbook's header, 10..14 with one whose FAT lies far ahead.
  for (std::size_t c = 20; c < 25; ++c) std::copy(file.begin(), file.begin() + kCluster, image.begin() + c * kCluster);
  for (std::size_t c = 10; c < 15; ++c) {
    std::copy(file.begin(), file.begin() + 512, image.begin() + c * kCluster);
    image[c * kCluster + 0x4C + 1] = 0x40;  // the first FAT sector some 8 MiB ahead
  }
  UsedSectorMap claims;
  GapSearchGeometry g;
  ASSERT_NO_FATAL_FAILURE(coverImage(image, claims, g));
  const std::optional<CompoundFile> cf = openCompoundFile(file);
  ASSERT_TRUE(cf);
  CarveMemory memory, notedMemory;
  CountingReader alone(image), shared(image), noted(image);
  for (std::int64_t c = kFileAt; c >= 0; --c) {
    SCOPED_TRACE(c);
    CompoundFragmentCheck a, b, n;
    const std::int64_t expected = hintStructure(a, claims, alone, g, 8 * c, 4096);
    EXPECT_EQ(hintStructure(b, claims, shared, g, 8 * c, 4096, {&memory}), expected);
    // What the first pass notes of the header and the sectors after it, up to where its read
    // ended (here, the next cluster's end).
    const Bytes at = Bytes(image).subspan(static_cast<std::size_t>(c) * kCluster);
    const std::uint64_t note = headerNote(at.first(512), at.subspan(512, std::min<std::size_t>(at.size(), 2 * kCluster) - 512));
    EXPECT_EQ(hintStructure(n, claims, noted, g, 8 * c, 4096, {&notedMemory, note}), expected);
    if (c == kFileAt || (c >= 20 && c < 25)) {
      EXPECT_GT(expected, 0);
    }
    if (c >= 10 && c < 15) {
      EXPECT_EQ(expected, -1);
    }
  }
  EXPECT_GT(memory.size(), 0u);
  EXPECT_LT(shared.reads * 2, alone.reads);
  // The headers whose FAT sector no cluster holds are turned down without a read.
  EXPECT_LE(noted.reads + 5, shared.reads) << "with the notes: " << noted.reads << ", without: " << shared.reads;
  // The workbook, hinted through the shared memory, is still checked whole.
  CompoundFragmentCheck check;
  ASSERT_GT(hintStructure(check, claims, shared, g, 8 * kFileAt, 4096, {&memory}), 0);
  EXPECT_EQ(feed(check, file).first, FragmentVerdict::Complete);
}

// Noise headers at every fourth cluster, each listing one FAT sector inside the range, among
// clusters of noise and a stretch of zeros (sectors a FAT could be): with what the first pass
// marked, each look reads nothing but the four clusters of zeros, and finds what it finds
// without them.
TEST(CompoundFragmentCheck, StructureLooksReadOnlyClustersTheFirstPassMarked) {
  constexpr std::size_t kClusters = 256;
  Bytes8 image;
  for (std::uint32_t c = 0; c < kClusters; ++c) {
    const Bytes8 j = junk(500 + c);
    image.insert(image.end(), j.begin(), j.end());
  }
  std::fill(image.begin() + 200 * kCluster, image.begin() + 204 * kCluster, 0);
  const Bytes8 file = corpusFile("44693.xls");
  ASSERT_FALSE(file.empty());
  std::vector<std::size_t> headers;
  for (std::size_t c = 0; c < 160; c += 4) {
    std::copy(file.begin(), file.begin() + 512, image.begin() + c * kCluster);
    const auto fat = static_cast<std::uint32_t>((kClusters - c) * 8 - 20);  // ahead, inside the range
    for (int i = 0; i < 4; ++i) image[c * kCluster + 0x4C + i] = static_cast<std::uint8_t>(fat >> (8 * i));
    for (int i = 0; i < 4; ++i) image[c * kCluster + 0x50 + i] = 0xFF;
    for (int i = 0; i < 4; ++i) image[c * kCluster + 0x2C + i] = i == 0 ? 1 : 0;
    headers.push_back(c);
  }
  UsedSectorMap claims;
  GapSearchGeometry g;
  ASSERT_NO_FATAL_FAILURE(coverImage(image, claims, g));
  const std::int64_t lastSector = g.lastSector;
  SectorMarks marks;
  for (std::int64_t s = 0; s <= lastSector; ++s)
    marks.note(s, mayHoldFatSector(Bytes(image).subspan(static_cast<std::size_t>(s) * 512, 512)));
  CarveMemory plainMemory, markedMemory;
  CountingReader plain(image), marked(image);
  for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
    const std::int64_t start = static_cast<std::int64_t>(*it) * 8;
    const Bytes at = Bytes(image).subspan(*it * kCluster);
    const std::uint64_t note = headerNote(at.first(512), at.subspan(512, 7 * 512));
    CompoundFragmentCheck a, b;
    const std::int64_t expected = hintStructure(a, claims, plain, g, start, 4096, {&plainMemory, note});
    EXPECT_EQ(expected, -1) << *it;
    // Where the marks are kept, the note says nothing of the sectors after the header: the
    // marks already tell the look which of them it can pass over.
    const std::uint64_t markedNote = headerNote(at.first(512), {});
    EXPECT_EQ(hintStructure(b, claims, marked, g, start, 4096, {&markedMemory, markedNote, &marks}), expected) << *it;
  }
  EXPECT_EQ(marked.reads, static_cast<int>(4 * headers.size())) << "without the marks: " << plain.reads;
  EXPECT_GT(plain.reads, 40);
}

}  // namespace
}  // namespace vellumark::cfb
