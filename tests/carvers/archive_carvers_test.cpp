// The tracers for PDF, RAR, cabinet, 7-Zip and CorelDRAW RIFF files: each claims its file
// to the sector that holds the last byte, plus the rest of that cluster, and documents
// written around them come back whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "carvers/archive_carvers.h"
#include "carvers/pdf_carver.h"
#include "driver/scan_driver.h"
#include "scan/type_codes.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::CarveSetup;
using test::ImageBuilder;
using test::TempDir;
namespace fs = std::filesystem;

constexpr std::uint64_t kStart = 16;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

struct Traced {
  std::vector<std::int64_t> used;
  std::int64_t expectedLast = 0;  // last sector of the file plus its cluster slack
};

// Lays `file` at sector kStart of a noise image and runs the carver on it with 8 sectors
// per cluster; returns the sectors left claimed.
std::vector<std::int64_t> trace(const std::vector<std::uint8_t>& file, CarverFn carver, std::uint32_t bps = 512,
                                std::uint64_t extraSectors = 64) {
  const std::uint64_t sectors = kStart + (file.size() + bps - 1) / bps + extraSectors;
  ImageBuilder image(sectors, bps);
  image.fillRandom(0, image.bytes().size(), 99);
  image.putBytes(kStart * bps, file);
  TempDir out;
  CarveSetup setup(image.bytes(), bps, out.path());
  setup.state.geometry.sectorsPerCluster = 8;
  carver(setup.ctx, static_cast<std::int64_t>(kStart * bps));
  std::vector<std::int64_t> used;
  for (std::int64_t s = 0; s < setup.state.usedSectorMap.sectorCount(); ++s)
    if (setup.state.usedSectorMap.isSectorUsed(s)) used.push_back(s);
  return used;
}

// The sectors a file of `length` bytes at kStart must leave claimed: through its last
// sector, then to the end of that cluster.
std::vector<std::int64_t> expectedClaims(std::uint64_t length, std::uint32_t bps = 512) {
  const std::int64_t last = static_cast<std::int64_t>(kStart + (length + bps - 1) / bps - 1);
  std::vector<std::int64_t> v;
  for (std::int64_t s = kStart; s <= (last | 7); ++s) v.push_back(s);
  return v;
}

std::vector<std::uint8_t> made(const std::string& command, const fs::path& file) {
  if (test::runCommand(command) != 0) return {};
  return test::readFileBytes(file);
}

// ---- PDF -----------------------------------------------------------------------------

std::string pdfTail(std::string_view afterEof = "\n") {
  return "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\nxref\n0 1\ntrailer\n<< >>\nstartxref\n1234\n%%EOF" +
         std::string(afterEof);
}

TEST(PdfCarver, EndsAfterTheLineBreaksThatFollowTheLastEof) {
  std::string file = pdfTail("\r\n");
  const std::size_t length = file.size();
  file += "Z";  // not a line break: the file ends before it
  file += std::string(3000, 'q');
  EXPECT_EQ(trace(bytesOf(file), carvePdf), expectedClaims(length)) << "a PDF ending in its first sector";
}

TEST(PdfCarver, IncrementalUpdatesAndFalseEndsAreReadThrough) {
  const std::string update = "\n7 0 obj\n<< /Producer (again) >>\nendobj\nxref\n7 1\ntrailer\n<< /Prev 99 >>\n";
  std::string file = pdfTail("\n");
  file += std::string(1500, ' ') + update + "startxref\n0\n%%EOF\n";           // offset 0 never ends it
  file += "startxref 77\n%%EOF\n";                                               // offset not on its own line
  file += "xref\n" + std::string(700, ' ') + "\nstartxref\n5678\n%%EOF\n\n";    // %%EOF then xref: goes on
  const std::string secondUpdate = "12 0 obj\n<< >>\nendobj\nstartxref\n91011\n%%EOF\n";
  file += secondUpdate;
  const std::size_t length = file.size();
  file += "garbage" + std::string(2000, 'g');
  EXPECT_EQ(trace(bytesOf(file), carvePdf), expectedClaims(length));
}

TEST(PdfCarver, AFileWithoutAnEndIsReleased) {
  std::string file = "%PDF-1.7\n" + std::string(4000, 'x') + "\nstartxref\n12\n%%EO";
  EXPECT_TRUE(trace(bytesOf(file), carvePdf, 512, 0).empty()) << "the range ends before the end does";
  EXPECT_TRUE(trace(bytesOf("%PDX-1.7\n"), carvePdf).empty());
}

TEST(PdfCarver, RealPdfsFromGhostscript) {
  if (!test::haveProgram("gs")) GTEST_SKIP() << "Ghostscript is not installed";
  TempDir dir;
  const fs::path ps = dir / "pages.ps";
  std::string program = "/Helvetica findfont 12 scalefont setfont\n";
  for (int page = 0; page < 30; ++page)
    program += "72 700 moveto (Page " + std::to_string(page) + " of a traced PDF) show showpage\n";
  test::writeFileBytes(ps, bytesOf(program));
  const auto pdf = made("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile='" + (dir / "a.pdf").string() +
                            "' '" + ps.string() + "' >/dev/null 2>&1",
                        dir / "a.pdf");
  ASSERT_FALSE(pdf.empty());
  for (std::uint32_t bps : {512u, 4096u}) {
    EXPECT_EQ(trace(pdf, carvePdf, bps), expectedClaims(pdf.size(), bps)) << bps;
  }
  // The same file with an update appended, as an editor saves it.
  std::vector<std::uint8_t> updated = pdf;
  const std::string update = "9 0 obj\n<< /ModDate (D:20260101) >>\nendobj\nxref\n9 1\n0000099999 00000 n \ntrailer\n<< /Prev " +
                             std::to_string(pdf.size() - 40) + " >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
  updated.insert(updated.end(), update.begin(), update.end());
  EXPECT_EQ(trace(updated, carvePdf), expectedClaims(updated.size()));
}

// ---- RAR -----------------------------------------------------------------------------

void appendBlock(std::vector<std::uint8_t>& b, std::uint8_t type, std::uint16_t flags, std::uint16_t headerSize,
                 std::uint32_t added = 0, std::size_t bodyBytes = 0) {
  const std::size_t at = b.size();
  // A hostile header may declare fewer bytes than its fields take: they are written all the same.
  const std::size_t fields = (flags & 0x8000) ? 11 : 7;
  b.resize(at + std::max<std::size_t>(headerSize, fields) + bodyBytes, 0x5A);
  b[at] = 0x12;
  b[at + 1] = 0x34;
  b[at + 2] = type;
  b[at + 3] = static_cast<std::uint8_t>(flags);
  b[at + 4] = static_cast<std::uint8_t>(flags >> 8);
  b[at + 5] = static_cast<std::uint8_t>(headerSize);
  b[at + 6] = static_cast<std::uint8_t>(headerSize >> 8);
  if (flags & 0x8000)
    for (int i = 0; i < 4; ++i) b[at + 7 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(added >> (8 * i));
}

// A RAR 4 archive: marker, archive header, one file of bodyBytes, end of archive.
std::vector<std::uint8_t> rarArchive(std::uint32_t bodyBytes) {
  std::vector<std::uint8_t> b{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  appendBlock(b, 0x73, 0x0000, 13);
  appendBlock(b, 0x74, 0x8000, 40, bodyBytes, bodyBytes);
  appendBlock(b, 0x7B, 0x4000, 7);
  return b;
}

TEST(RarCarver, WalksBlocksAndClaimsLongBodiesUnread) {
  for (std::uint32_t body : {10u, 100'000u}) {
    const auto rar = rarArchive(body);
    EXPECT_EQ(trace(rar, carveRar), expectedClaims(rar.size())) << body;
  }
}

TEST(RarCarver, HostileBlocksFailWithoutHanging) {
  std::vector<std::uint8_t> zero{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  appendBlock(zero, 0x73, 0, 0);
  EXPECT_TRUE(trace(zero, carveRar).empty()) << "a block of length 0";
  std::vector<std::uint8_t> huge{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  appendBlock(huge, 0x74, 0x8000, 0xFFFF, 0xFFFFFFFF);
  EXPECT_TRUE(trace(huge, carveRar).empty()) << "a body of 4 GiB runs past the range";
  std::vector<std::uint8_t> unknown{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  appendBlock(unknown, 0x72, 0, 7);
  EXPECT_TRUE(trace(unknown, carveRar).empty()) << "block type 0x72 after the marker";
  std::vector<std::uint8_t> rar5{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
  EXPECT_TRUE(trace(rar5, carveRar).empty());
}

// ---- cabinet, 7-Zip, CorelDRAW RIFF -----------------------------------------------------

TEST(ClaimOnlyCarvers, DeclaredLengthsAreClaimedToTheEndOfTheRange) {
  ImageBuilder cab(1);
  cab.putText(0, "MSCF").putLe32(8, 1'000'000).putLe16(24, 0x0103);
  const auto claimed = trace(cab.bytes(), carveCab, 512, 2000);
  ASSERT_FALSE(claimed.empty());
  EXPECT_EQ(claimed, expectedClaims(1'000'000)) << "1,954 sectors and the slack of the last cluster";
  EXPECT_EQ(expectedClaims(1'000'000).size(), 1'960u);
  const auto cut = trace(cab.bytes(), carveCab, 512, 100);
  EXPECT_EQ(cut.size(), 101u) << "a cabinet cut short keeps what the range holds";

  ImageBuilder cdr(1);
  cdr.putText(0, "RIFF").putLe32(4, 100'000).putText(8, "CDR9");
  EXPECT_EQ(trace(cdr.bytes(), carveCdrRiff, 512, 300).size(), 200u) << "196 sectors, then slack to 200";
  ImageBuilder small(1);
  small.putText(0, "RIFF").putLe32(4, 400).putText(8, "CDR9");
  EXPECT_TRUE(trace(small.bytes(), carveCdrRiff).empty()) << "a drawing within its first sector is released";
}

TEST(ClaimOnlyCarvers, SevenZipLengthsAndVersions) {
  auto header = [](std::uint8_t minor, std::uint64_t offset, std::uint64_t size) {
    ImageBuilder b(1);
    b.putBytes(0, std::vector<std::uint8_t>{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, minor});
    b.putLe64(12, offset).putLe64(20, size);
    return b.bytes();
  };
  EXPECT_EQ(trace(header(4, 5000, 100), carve7z), expectedClaims(5132));
  EXPECT_EQ(trace(header(3, 5000, 100), carve7z), expectedClaims(5132));
  EXPECT_TRUE(trace(header(5, 5000, 100), carve7z).empty());
  EXPECT_TRUE(trace(header(4, 0x100000000, 0x400000000), carve7z).empty()) << "above 20 GiB";
  EXPECT_TRUE(trace(header(4, ~0ull, ~0ull), carve7z).empty()) << "lengths that would wrap";
}

TEST(ClaimOnlyCarvers, RealArchivesFrom7zAndGcab) {
  TempDir dir;
  ImageBuilder payload(300);
  payload.fillRandom(0, payload.bytes().size(), 5);
  test::writeFileBytes(dir / "data.bin", payload.bytes());
  test::writeFileBytes(dir / "notes.txt", bytesOf(std::string(20000, 'n')));
  if (test::haveProgram("7z")) {
    const auto sz = made("cd '" + dir.path().string() + "' && 7z a -bd -bso0 -bsp0 a.7z data.bin notes.txt", dir / "a.7z");
    ASSERT_FALSE(sz.empty());
    EXPECT_EQ(trace(sz, carve7z), expectedClaims(sz.size()));
  }
  if (test::haveProgram("gcab")) {
    const auto cab = made("cd '" + dir.path().string() + "' && gcab -c a.cab data.bin notes.txt", dir / "a.cab");
    ASSERT_FALSE(cab.empty());
    EXPECT_EQ(trace(cab, carveCab), expectedClaims(cab.size()));
  }
}

// ---- ZIP archives and drawings ------------------------------------------------------------

std::vector<std::uint8_t> noiseText(std::size_t bytes, std::uint32_t seed) {
  ImageBuilder b(bytes / 512 + 1);
  b.fillRandom(0, b.bytes().size(), seed);
  b.bytes().resize(bytes);
  return b.bytes();
}

TEST(ZipCarvers, ArchivesAreTracedToTheirEndRecordWithLongMembersUnread) {
  const auto big = noiseText(12'000'000, 4);
  const auto archive = test::makeZip({{"photo.raw", std::string(big.begin(), big.end())}, {"notes.txt", "n"}}, "comment");
  EXPECT_EQ(trace(archive, carveZip, 512, 40), expectedClaims(archive.size()));
  EXPECT_EQ(trace(archive, carveCdrZip, 512, 40), expectedClaims(archive.size()));
}

TEST(ZipCarvers, UnknownBytesEndAnArchiveOnlyPastItsFirstHundredBytes) {
  auto archive = test::makeZip({{"a.txt", std::string(130, 'a')}});
  archive.resize(30 + 5 + 130);  // the first record only: unknown bytes follow at 165
  archive.resize(2000, 0x77);
  EXPECT_EQ(trace(archive, carveZip), expectedClaims(165));
  EXPECT_TRUE(trace(archive, carveCdrZip).empty()) << "a drawing must reach its end record";
  auto shortOne = test::makeZip({{"a.txt", "abc"}});
  shortOne.resize(38);
  shortOne.resize(2000, 0x77);
  EXPECT_TRUE(trace(shortOne, carveZip).empty()) << "unknown bytes at 38";
}

TEST(ZipCarvers, RealArchivesFromZip) {
  if (!test::haveProgram("zip")) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  test::writeFileBytes(dir / "noise.bin", noiseText(300'000, 8));
  test::writeFileBytes(dir / "text.txt", bytesOf(std::string(50'000, 't')));
  const auto archive = made("cd '" + dir.path().string() + "' && zip -q a.zip noise.bin text.txt", dir / "a.zip");
  ASSERT_FALSE(archive.empty());
  EXPECT_EQ(trace(archive, carveZip), expectedClaims(archive.size()));
  const auto piped = made("cd '" + dir.path().string() + "' && zip -q - noise.bin text.txt > b.zip", dir / "b.zip");
  EXPECT_EQ(trace(piped, carveZip), expectedClaims(piped.size())) << "data descriptors";
}

// ---- documents written around them ------------------------------------------------------

std::vector<std::uint8_t> corpusFile(const std::string& name) {
  return test::readFileBytes(fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / name);
}

// Noise, the first clusters of the document, the other file, the rest of the document, noise;
// each piece starts on a 4 KiB cluster, the tail of each piece's last cluster is noise.
std::vector<std::uint8_t> cutAround(const std::vector<std::uint8_t>& doc, const std::vector<std::uint8_t>& other,
                                    std::uint32_t bps) {
  constexpr std::size_t kCluster = 4096;
  auto clusters = [](std::size_t n) { return (n + kCluster - 1) / kCluster * kCluster; };
  const std::size_t firstPart = clusters(doc.size() / 2);
  const std::size_t total = 2 * kCluster + firstPart + clusters(other.size()) + clusters(doc.size() - firstPart) + 2 * kCluster;
  ImageBuilder image(total / bps, bps);
  image.fillRandom(0, total, 7);
  std::size_t at = 2 * kCluster;
  image.putBytes(at, std::span(doc).first(firstPart));
  at += firstPart;
  image.putBytes(at, other);
  at += clusters(other.size());
  const std::size_t rest = doc.size() - firstPart;
  image.putBytes(at, std::span(doc).subspan(firstPart));
  // The document's last sector is zero after its end, as a file system leaves it.
  image.fill(at + rest, (rest + bps - 1) / bps * bps - rest, 0);
  return image.bytes();
}

// Runs the whole scan over the image and returns the one document written (empty if not one).
std::vector<std::uint8_t> rescueOne(std::vector<std::uint8_t> image, std::uint32_t bps) {
  TempDir out;
  ScanState state;
  openScanSource(state, std::make_unique<MemorySource>(std::move(image), bps), "cut.img");
  state.geometry.bytesPerSector = bps;
  state.geometry.lastSector = static_cast<std::int64_t>(state.sourceHandle->sizeBytes() / bps) - 1;
  state.geometry.sectorsPerCluster = 4096 / bps;
  state.geometry.clusterOffset = 0;
  SilentFrontEnd frontEnd;
  ScanRequest request;
  request.outputFolder = out.path().string();
  request.endSector = state.geometry.lastSector;
  request.folderOnSource = [](const std::string&) { return false; };
  const ScanSummary summary = runScan(state, frontEnd, request);
  if (summary.recovered != 1 || state.recoveredFiles.size() != 1) {
    for (const auto& [key, count] : summary.rejections.counts)
      ADD_FAILURE() << typeCodeName(key.first) << ": " << key.second << " (" << count << ")";
    return {};
  }
  return test::readFileBytes(state.recoveredFiles[0].path);
}

TEST(DocumentsAroundArchives, ComeBackWhole) {
  TempDir dir;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> others;
  others.emplace_back("rar", rarArchive(30'000));
  others.emplace_back("zip", test::makeZip({{"a.bin", std::string(20'000, 'z')}, {"b.txt", "b"}}));
  std::string pdf = pdfTail("\n");
  std::string stream;
  for (int line = 0; line < 300; ++line) stream += "BT /F1 12 Tf 72 " + std::to_string(line) + " Td (Line) Tj ET\n";
  pdf.insert(9, stream);
  others.emplace_back("pdf", bytesOf(pdf));
  ImageBuilder payload(40);
  payload.fillRandom(0, payload.bytes().size(), 11);
  test::writeFileBytes(dir / "data.bin", payload.bytes());
  if (test::haveProgram("7z"))
    others.emplace_back("7z", made("cd '" + dir.path().string() + "' && 7z a -bd -bso0 -bsp0 a.7z data.bin", dir / "a.7z"));
  if (test::haveProgram("gcab"))
    others.emplace_back("cab", made("cd '" + dir.path().string() + "' && gcab -c a.cab data.bin", dir / "a.cab"));

  for (const std::string docName : {"Bug51834.doc", "TestPackageCommon.docx"}) {
    const auto doc = corpusFile(docName);
    std::vector<std::uint8_t> expected = doc;
    for (const auto& [kind, other] : others) {
      ASSERT_FALSE(other.empty()) << kind;
      for (std::uint32_t bps : {512u, 4096u}) {
        std::vector<std::uint8_t> got = rescueOne(cutAround(doc, other, bps), bps);
        EXPECT_EQ(got, expected) << docName << " around " << kind << " on " << bps << "-byte sectors";
      }
    }
  }
}

}  // namespace
}  // namespace vellumark

namespace vellumark {
namespace {

TEST(DocumentsAroundArchives, ThroughTheCommandLine) {
  TempDir dir;
  const auto doc = corpusFile("TestPackageCommon.docx");
  test::writeFileBytes(dir / "cut.img", cutAround(doc, rarArchive(30'000), 512));
  fs::create_directory(dir / "out");
  ASSERT_EQ(test::runCommand("'" + test::cliPath().string() + "' rescue '" + (dir / "cut.img").string() + "' -o '" +
                             (dir / "out").string() + "' --cluster 4K -q"),
            0);
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir / "out")) if (!test::isRescueRecord(e.path())) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(test::readFileBytes(files[0]), doc);
}

}  // namespace
}  // namespace vellumark
