// The OLE2 and OOXML carvers on real documents laid out in images (contiguous, interleaved
// with other files' sectors, on 4096-byte sectors) and on hostile compound files and ZIPs.

#include <filesystem>
#include <gtest/gtest.h>

#include "carvers/carver_registry.h"
#include "carvers/archive_carvers.h"
#include "carvers/ole2_carver.h"
#include "carvers/ooxml_carver.h"
#include "carvers/recovered_output.h"
#include "scan/type_codes.h"
#include "util/byte_reader.h"
#include "support/carve_setup.h"
#include "support/compound_writer.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::CarveSetup;
using test::CorpusDocument;
using test::ImageBuilder;
using test::TempDir;
namespace fs = std::filesystem;

constexpr std::uint64_t kStartSector = 16;

std::int64_t roundUp(std::int64_t n, std::int64_t unit) { return (n + unit - 1) / unit * unit; }

bool isCompoundFile(Bytes doc) { return le32(doc, 0) == 0xE011CFD0 && le32(doc, 28) == 0x0009FFFE; }
bool isZip(Bytes doc) { return le32(doc, 0) == 0x04034B50; }

enum class Layout { Contiguous, Interleaved };

// A document placed in an image at kStartSector, then carved.
struct CarveOutcome {
  std::vector<fs::path> files;          // what the output folder holds afterwards
  std::vector<std::uint8_t> saved;      // the one saved file, if any
  std::vector<std::uint64_t> docSectors;
  std::uint32_t recovered = 0;
  std::uint32_t saveFailures = 0;
  std::int64_t usedSectors = 0;
  std::int64_t foreignSectors = 0;      // sectors claimed by "other files" before the carve
  bool allDocSectorsClaimed = false;
  std::vector<RecoveredFile> recoveredFiles;
};

CarveOutcome carveDocument(Bytes doc, std::uint32_t bps, Layout layout, CarverFn carver,
                           std::uint32_t typeFlags = kAllFamilies, std::int64_t scanEndLimit = -1) {
  const std::uint64_t docSectorCount = (doc.size() + bps - 1) / bps;
  ImageBuilder image(kStartSector + 2 * docSectorCount + 32, bps);
  image.fillRandom(0, image.bytes().size(), 1234);
  CarveOutcome outcome;
  std::vector<std::uint64_t> foreign;
  for (std::uint64_t s = kStartSector; outcome.docSectors.size() < docSectorCount; ++s) {
    // Every third sector after the first belongs to another file, carved earlier.
    if (layout == Layout::Interleaved && (s - kStartSector) % 3 == 1) foreign.push_back(s);
    else outcome.docSectors.push_back(s);
  }
  image.scatter(doc, outcome.docSectors);

  TempDir out;
  CarveSetup setup(image.bytes(), bps, out.path());
  setup.state.typeFlags = typeFlags;
  setup.state.renameByTitle = false;  // the first names tell where a document began
  if (scanEndLimit >= 0) setup.state.scanEndSector = scanEndLimit;
  for (std::uint64_t s : foreign) setup.state.usedSectorMap.markSector(static_cast<std::int64_t>(s));
  outcome.foreignSectors = static_cast<std::int64_t>(foreign.size());

  carver(setup.ctx, static_cast<std::int64_t>(kStartSector * bps));

  for (const auto& e : fs::directory_iterator(out.path())) outcome.files.push_back(e.path().filename());
  if (outcome.files.size() == 1) outcome.saved = test::readFileBytes(out.path() / outcome.files[0]);
  outcome.recovered = setup.state.recoveredCount;
  outcome.saveFailures = setup.state.saveFailures;
  outcome.usedSectors = setup.state.usedSectorMap.countUsed();
  outcome.allDocSectorsClaimed = true;
  for (std::uint64_t s : outcome.docSectors)
    outcome.allDocSectorsClaimed &= setup.state.usedSectorMap.isSectorUsed(static_cast<std::int64_t>(s));
  outcome.recoveredFiles = setup.state.recoveredFiles;
  return outcome;
}

// The extension a corpus document must be saved under.
std::string expectedExtension(const CorpusDocument& doc) {
  // An encrypted package is a compound file; its type comes from its streams (the Word one
  // carries a WordDocument stream, the Excel one none, which counts as a workbook).
  std::string ext = doc.ext;
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return (doc.hasNote("encrypted-ooxml") ? ".ENC." : ".") + ext;
}

std::uint32_t familyOf(const CorpusDocument& doc) {
  if (doc.ext.starts_with("doc")) return kFamilyDoc;
  if (doc.ext.starts_with("xls")) return kFamilyXls;
  return kFamilyPpt;
}

struct CorpusCase {
  CorpusDocument doc;
  std::vector<std::uint8_t> bytes;
  CarverFn carver;
};

// Every compound file and every package of the corpus.
std::vector<CorpusCase> carvableCorpus() {
  std::vector<CorpusCase> cases;
  for (const CorpusDocument& doc : test::corpusDocuments()) {
    auto bytes = test::readFileBytes(doc.path);
    if (isCompoundFile(bytes)) cases.push_back({doc, std::move(bytes), carveOle2});
    else if (isZip(bytes)) cases.push_back({doc, std::move(bytes), carveOoxml});
  }
  return cases;
}

// A compound file is saved as long as its FAT says, whatever the source's sector size. For
// these documents that is the file's length, except for one whose writer cut its last
// sector short: it comes back with that sector whole, the bytes the image holds after the
// file (zeros) completing it. A package is cut at the end of its end record and comment.
void expectRecovered(const CorpusCase& c, const CarveOutcome& outcome, std::uint32_t bps) {
  SCOPED_TRACE(c.doc.name);
  ASSERT_EQ(outcome.files.size(), 1u);
  EXPECT_EQ(outcome.files[0].string(), "TEST_" + sectorLetters(8, kStartSector * bps / 512) + expectedExtension(c.doc));
  EXPECT_EQ(outcome.recovered, 1u);
  ASSERT_EQ(outcome.recoveredFiles.size(), 1u);
  EXPECT_EQ(outcome.recoveredFiles[0].sizeBytes, outcome.saved.size());
  EXPECT_EQ(outcome.recoveredFiles[0].startSector, static_cast<std::int64_t>(kStartSector));
  EXPECT_TRUE(outcome.allDocSectorsClaimed);
  EXPECT_EQ(outcome.usedSectors, outcome.foreignSectors + static_cast<std::int64_t>(outcome.docSectors.size()));
  if (c.carver == carveOoxml) {
    EXPECT_TRUE(outcome.saved == c.bytes) << "package differs";
    return;
  }
  const std::int64_t expectedSize = roundUp(static_cast<std::int64_t>(c.bytes.size()), 512);
  ASSERT_EQ(static_cast<std::int64_t>(outcome.saved.size()), expectedSize);
  if (outcome.saved.size() == c.bytes.size()) {
    EXPECT_TRUE(outcome.saved == c.bytes) << "compound file differs";
    return;
  }
  EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), outcome.saved.begin())) << "compound file prefix differs";
  EXPECT_TRUE(std::all_of(outcome.saved.begin() + static_cast<std::ptrdiff_t>(c.bytes.size()), outcome.saved.end(),
                          [](std::uint8_t b) { return b == 0; }));
}

TEST(CorpusDocuments, RecoveredByteIdenticalFromContiguousSectors) {
  auto cases = carvableCorpus();
  ASSERT_GE(cases.size(), 45u);
  for (const CorpusCase& c : cases) expectRecovered(c, carveDocument(c.bytes, 512, Layout::Contiguous, c.carver), 512);
}

TEST(CorpusDocuments, RecoveredAroundSectorsOfOtherFiles) {
  for (const CorpusCase& c : carvableCorpus())
    expectRecovered(c, carveDocument(c.bytes, 512, Layout::Interleaved, c.carver), 512);
}

TEST(CorpusDocuments, RecoveredFrom4096ByteSectors) {
  for (const CorpusCase& c : carvableCorpus()) {
    expectRecovered(c, carveDocument(c.bytes, 4096, Layout::Contiguous, c.carver), 4096);
    expectRecovered(c, carveDocument(c.bytes, 4096, Layout::Interleaved, c.carver), 4096);
  }
}

TEST(CorpusDocuments, UnselectedFamilyIsClaimedButNotWritten) {
  for (const CorpusCase& c : carvableCorpus()) {
    SCOPED_TRACE(c.doc.name);
    CarveOutcome outcome = carveDocument(c.bytes, 512, Layout::Contiguous, c.carver, kAllFamilies & ~familyOf(c.doc));
    EXPECT_TRUE(outcome.files.empty());
    EXPECT_EQ(outcome.recovered, 0u);
    EXPECT_EQ(outcome.saveFailures, 0u);
    EXPECT_TRUE(outcome.allDocSectorsClaimed);
  }
}

TEST(CorpusDocuments, TruncatedDocumentsFailAndReleaseEverything) {
  for (const CorpusCase& c : carvableCorpus()) {
    SCOPED_TRACE(c.doc.name);
    const std::int64_t lastDocSector = static_cast<std::int64_t>(kStartSector + (c.bytes.size() - 1) / 512);
    CarveOutcome outcome = carveDocument(c.bytes, 512, Layout::Contiguous, c.carver, kAllFamilies, lastDocSector - 1);
    EXPECT_TRUE(outcome.files.empty());
    EXPECT_EQ(outcome.recovered, 0u);
    EXPECT_EQ(outcome.usedSectors, 0);
  }
}

// --- Compound files built here -------------------------------------------------------

void put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
void copySector(std::vector<std::uint8_t>& b, std::size_t fromCf, std::size_t toCf) {
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(512 + 512 * fromCf), 512, b.begin() + static_cast<std::ptrdiff_t>(512 + 512 * toCf));
}

// Carves a compound file built here; expects either nothing (failure, all released) or a file.
CarveOutcome carveOle2Bytes(const std::vector<std::uint8_t>& cf, std::uint32_t typeFlags = kAllFamilies, std::uint32_t bps = 512) {
  return carveDocument(cf, bps, Layout::Contiguous, carveOle2, typeFlags);
}

void expectRejected(const CarveOutcome& outcome) {
  EXPECT_TRUE(outcome.files.empty());
  EXPECT_EQ(outcome.recovered, 0u);
  EXPECT_EQ(outcome.usedSectors, 0);
}

TEST(Ole2Carver, TypeFromTheLastApplicationStreamAndTheFamilyFilter) {
  auto cf = test::makeCompoundFile({"Root Entry", "Workbook", "WordDocument"}, 8);
  CarveOutcome both = carveOle2Bytes(cf);
  ASSERT_EQ(both.files.size(), 1u);
  EXPECT_EQ(both.files[0].extension(), ".DOC");
  EXPECT_TRUE(both.saved == cf);

  CarveOutcome xlsOnly = carveOle2Bytes(cf, kFamilyXls);
  EXPECT_TRUE(xlsOnly.files.empty());
  EXPECT_TRUE(xlsOnly.allDocSectorsClaimed);

  EXPECT_EQ(carveOle2Bytes(test::makeCompoundFile({"Root Entry", "PowerPoint Document"}, 8)).files.at(0).string(),
            "TEST_AAAAAAAQ.PPT");
  // Names are compared whole and case-sensitively.
  EXPECT_TRUE(carveOle2Bytes(test::makeCompoundFile({"Root Entry", "workbook", "WordDocumentX"}, 2)).files.empty());
}

TEST(Ole2Carver, EncryptedPackagesAreNamedByTheirStreams) {
  auto enc = test::makeCompoundFile({"Root Entry", "EncryptionInfo", "Version", "EncryptedPackage"}, 8);
  EXPECT_EQ(carveOle2Bytes(enc, kFamilyXls).files.at(0).string(), "TEST_AAAAAAAQ.ENC.XLSX");
  CarveOutcome notSelected = carveOle2Bytes(enc, kFamilyDoc | kFamilyPpt);
  EXPECT_TRUE(notSelected.files.empty());
  EXPECT_TRUE(notSelected.allDocSectorsClaimed);
  auto word = test::makeCompoundFile({"Root Entry", "EncryptionInfo", "WordDocument", "Version"}, 8);
  EXPECT_EQ(carveOle2Bytes(word).files.at(0).string(), "TEST_AAAAAAAQ.ENC.DOCX");
  auto onlyInfo = test::makeCompoundFile({"Root Entry", "EncryptionInfo"}, 2);
  EXPECT_TRUE(carveOle2Bytes(onlyInfo).files.empty());
}

TEST(Ole2Carver, LengthComesFromTheLastUsedFatEntry) {
  auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 98);  // last used entry: 99
  ASSERT_EQ(cf.size(), 51'712u);
  cf.resize(cf.size() + 3 * 512, 0x77);  // bytes after the document are not part of it
  CarveOutcome on512 = carveOle2Bytes(cf);
  EXPECT_EQ(on512.saved.size(), 51'712u);
  CarveOutcome on4096 = carveOle2Bytes(cf, kAllFamilies, 4096);
  EXPECT_EQ(on4096.saved.size(), 51'712u);  // not rounded up to whole source sectors
  EXPECT_TRUE(on4096.allDocSectorsClaimed);
}

TEST(Ole2Carver, HeaderChecks) {
  auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 2);
  auto bigSectors = cf;
  put32(bigSectors, 28, 0x000CFFFE);
  expectRejected(carveOle2Bytes(bigSectors));
  auto badSignature = cf;
  badSignature[7] = 0xE0;
  expectRejected(carveOle2Bytes(badSignature));
}

TEST(Ole2Carver, FatSectorsInAnyOrderButEachOnce) {
  // Two FAT sectors, listed last first (as some PowerPoint files list them).
  std::vector<test::CompoundStream> streams{{"PowerPoint Document", std::vector<std::uint8_t>(80'000, 0x5A)},
                                            {"Current User", std::vector<std::uint8_t>(60, 1)}};
  test::CompoundOptions backwards;
  backwards.fatSectorsListedBackwards = true;
  auto cf = test::writeCompoundFile(streams, backwards);
  ASSERT_NE(le32(cf, 76), le32(cf, 80) - 1);
  CarveOutcome outcome = carveOle2Bytes(cf);
  EXPECT_TRUE(outcome.saved == cf);

  auto twice = cf;
  put32(twice, 80, le32(cf, 76));  // the same FAT sector listed twice
  expectRejected(carveOle2Bytes(twice));

  auto gap = test::makeCompoundFile({"Root Entry", "Workbook"}, 14);
  put32(gap, 80, 0xFFFFFFFF);
  put32(gap, 84, 12);  // after the first free entry: not a FAT sector
  EXPECT_EQ(carveOle2Bytes(gap).saved.size(), gap.size());
}

TEST(Ole2Carver, DifatChainIsFollowedAndItsLoopsFail) {
  auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 8);  // sectors 0..9
  // Move the FAT out of the header list into a DIFAT sector appended as sector 10.
  auto chained = cf;
  chained.resize(chained.size() + 512, 0xFF);
  put32(chained, 512 + 4 * 10, 0xFFFFFFFC);
  put32(chained, 76, 0xFFFFFFFF);
  put32(chained, 68, 10);
  put32(chained, 72, 1);
  const std::size_t difat = 512 + 10 * 512;
  put32(chained, difat, 0);
  put32(chained, difat + 508, 0xFFFFFFFE);
  EXPECT_TRUE(carveOle2Bytes(chained).saved == chained);

  auto selfLoop = chained;
  put32(selfLoop, difat + 508, 10);
  expectRejected(carveOle2Bytes(selfLoop));

  auto longLoop = chained;  // 10 -> 9 -> 10
  put32(longLoop, difat + 508, 9);
  std::fill_n(longLoop.begin() + 512 + 9 * 512, 512, 0xFF);
  put32(longLoop, 512 + 9 * 512 + 508, 10);
  expectRejected(carveOle2Bytes(longLoop));

  auto fatAlsoDifat = chained;  // the DIFAT sector names itself as a FAT sector
  put32(fatAlsoDifat, difat + 4, 10);
  expectRejected(carveOle2Bytes(fatAlsoDifat));

  auto outOfRange = chained;
  put32(outOfRange, 68, 409'599);
  expectRejected(carveOle2Bytes(outOfRange));
}

TEST(Ole2Carver, FatThatCannotBelongToADocumentIsRefused) {
  // A DIFAT chain of 34 sectors naming sector 0 127 times each: more FAT than any document
  // under the length limit has.
  auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 40);
  put32(cf, 68, 3);
  for (std::uint32_t d = 3; d < 37; ++d) {
    const std::size_t at = 512 + 512 * static_cast<std::size_t>(d);
    std::fill_n(cf.begin() + static_cast<std::ptrdiff_t>(at), 512, 0);
    put32(cf, at + 508, d + 1 < 37 ? d + 1 : 0xFFFFFFFE);
  }
  expectRejected(carveOle2Bytes(cf));
}

TEST(Ole2Carver, DirectoryChainFailures) {
  auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 4);  // sectors 0..5
  auto loop = cf;
  put32(loop, 512 + 4 * 1, 1);  // directory sector 1 points at itself
  expectRejected(carveOle2Bytes(loop));

  auto beyond = cf;
  put32(beyond, 48, 6);  // one past the assembled document
  expectRejected(carveOle2Bytes(beyond));

  auto freeMarker = cf;
  put32(freeMarker, 48, 0xFFFFFFFF);
  expectRejected(carveOle2Bytes(freeMarker));

  // A directory sector inside the assembled bytes whose FAT entry lies past the collected
  // FAT (the FAT sits at sector 200, far beyond what its 128 entries describe).
  auto bigger = test::makeCompoundFile({"Root Entry", "Workbook"}, 199);  // sectors 0..200
  copySector(bigger, 0, 200);
  copySector(bigger, 1, 150);
  put32(bigger, 76, 200);
  put32(bigger, 48, 150);
  expectRejected(carveOle2Bytes(bigger));
}

// A header whose FAT describes a long file is turned down on its directory before the
// described sectors are fetched: an unreadable one among them is never met. A document that
// is accepted still fetches them all, and meets it.
TEST(Ole2Carver, SectorsTheFatDescribesAreFetchedOnlyForADocument) {
  for (const bool whole : {false, true}) {
    auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 199);  // sectors 0..200
    if (!whole) put32(cf, 48, 5000);  // a directory that lies beyond the file
    std::vector<std::uint8_t> image(16 * 512, 0);
    image.insert(image.end(), cf.begin(), cf.end());
    image.resize(image.size() + 8 * 512, 0);
    TempDir out;
    CarveSetup setup(image, 512, out.path().string());
    setup.source->failReadsIn((16 + 1 + 100) * 512, 512);  // compound sector 100
    carveOle2(setup.ctx, 16 * 512);
    EXPECT_EQ(setup.state.unreadableSectors.count(16 + 1 + 100), whole ? 1u : 0u) << whole;
    EXPECT_EQ(setup.state.recoveredCount, 0u);
    EXPECT_EQ(setup.state.usedSectorMap.isSectorUsed(16), false);
  }
}

// A FAT sector past the length its FAT describes: the sectors up to it are taken (and must
// be readable), though only the described length is kept and checked.
TEST(Ole2Carver, AFatSectorPastTheDescribedLengthIsTakenAndRead) {
  for (const bool badSectorOnTheWay : {false, true}) {
    auto cf = test::makeCompoundFile({"Root Entry", "Workbook"}, 4);  // sectors 0..5
    cf.resize((1 + 201) * 512, 0);
    copySector(cf, 0, 200);
    put32(cf, 76, 200);
    std::vector<std::uint8_t> image(16 * 512, 0);
    image.insert(image.end(), cf.begin(), cf.end());
    image.resize(image.size() + 8 * 512, 0);
    TempDir out;
    CarveSetup setup(image, 512, out.path().string());
    if (badSectorOnTheWay) setup.source->failReadsIn((16 + 1 + 150) * 512, 512);
    carveOle2(setup.ctx, 16 * 512);
    EXPECT_EQ(setup.state.recoveredCount, 0u);  // its FAT sector lies outside the file
    EXPECT_EQ(setup.state.usedSectorMap.isSectorUsed(16), !badSectorOnTheWay);
    EXPECT_EQ(setup.state.usedSectorMap.isSectorUsed(16 + 1 + 200), !badSectorOnTheWay);
    EXPECT_FALSE(setup.state.usedSectorMap.isSectorUsed(16 + 1 + 201));
    EXPECT_EQ(setup.state.unreadableSectors.count(16 + 1 + 150), badSectorOnTheWay ? 1u : 0u);
  }
}

// --- Packages built here -------------------------------------------------------------

CarveOutcome carveZip(const std::vector<std::uint8_t>& zip, std::uint32_t typeFlags = kAllFamilies) {
  return carveDocument(zip, 512, Layout::Contiguous, carveOoxml, typeFlags);
}

std::string filler(std::size_t n) { return std::string(n, 'x'); }

TEST(OoxmlCarver, ApplicationFromTheFirstKnownPartFolder) {
  auto docx = test::makeZip({{"[Content_Types].xml", filler(700)}, {"word/document.xml", filler(900)}, {"xl/x.xml", "a"}});
  CarveOutcome outcome = carveZip(docx);
  ASSERT_EQ(outcome.files.size(), 1u);
  EXPECT_EQ(outcome.files[0].string(), "TEST_AAAAAAAQ.DOCX");
  EXPECT_TRUE(outcome.saved == docx);

  EXPECT_EQ(carveZip(test::makeZip({{"Word/document.xml", "a"}})).files.at(0).extension(), ".DOCX");
  EXPECT_EQ(carveZip(test::makeZip({{"docProps/app.xml", "a"}, {"XL/workbook.xml", "a"}})).files.at(0).extension(), ".XLSX");
  EXPECT_EQ(carveZip(test::makeZip({{"ppt/presentation.xml", "a"}})).files.at(0).extension(), ".PPTX");

  // With only the XLS family chosen, the word/ entry is skipped and a later xl/ entry decides.
  EXPECT_EQ(carveZip(docx, kFamilyXls).files.at(0).extension(), ".XLSX");
}

TEST(OoxmlCarver, UnselectedOrForeignPackagesAreClaimedNotWritten) {
  auto docx = test::makeZip({{"[Content_Types].xml", filler(700)}, {"word/document.xml", filler(900)}});
  CarveOutcome notChosen = carveZip(docx, kFamilyXls | kFamilyPpt);
  EXPECT_TRUE(notChosen.files.empty());
  EXPECT_EQ(notChosen.recovered, 0u);
  EXPECT_TRUE(notChosen.allDocSectorsClaimed);

  CarveOutcome plainZip = carveZip(test::makeZip({{"readme.txt", filler(3000)}}));
  EXPECT_TRUE(plainZip.files.empty());
  EXPECT_TRUE(plainZip.allDocSectorsClaimed);
}

TEST(OoxmlCarver, CutExactlyAfterTheArchiveComment) {
  auto zip = test::makeZip({{"word/document.xml", filler(1000)}}, "0123456789");
  const std::size_t eocd = zip.size() - 32;
  ASSERT_EQ(le32(zip, eocd), 0x06054B50u);
  CarveOutcome outcome = carveZip(zip);
  EXPECT_EQ(outcome.saved.size(), eocd + 32);
  EXPECT_TRUE(outcome.saved == zip);
}

TEST(OoxmlCarver, HostileRecordsFailAndReleaseEverything) {
  auto zip = test::makeZip({{"word/document.xml", filler(1000)}});
  auto huge = zip;
  put32(huge, 18, 0xFFFFFFF0);  // a 4 GiB entry
  expectRejected(carveZip(huge));

  auto pastTheEnd = zip;
  put32(pastTheEnd, 18, 100'000'000);  // fits the record bound, runs past the scan range
  expectRejected(carveZip(pastTheEnd));

  auto unknown = zip;
  put32(unknown, 30 + 17 + 1000, 0x08074B50);  // a data descriptor where a header belongs
  expectRejected(carveZip(unknown));

  auto descriptor = zip;
  descriptor[6] = 0x08;          // sizes in a trailing descriptor...
  put32(descriptor, 18, 0);      // ...so the local header says 0
  expectRejected(carveZip(descriptor));

  auto notZip = zip;
  notZip[3] = 0x05;
  expectRejected(carveZip(notZip));

  // The scan range ends before the central directory does.
  auto big = test::makeZip({{"word/document.xml", filler(1000)}, {"word/styles.xml", filler(100)}});
  CarveOutcome cut = carveDocument(big, 512, Layout::Contiguous, carveOoxml, kAllFamilies,
                                   static_cast<std::int64_t>(kStartSector + (big.size() - 1) / 512 - 1));
  expectRejected(cut);
}

TEST(CarverRegistry, DocumentCarversArePluggedInForTheirCodes) {
  EXPECT_EQ(mainPassCarver(kTypeOle2), &carveOle2);
  EXPECT_EQ(mainPassCarver(kTypeOoxml), &carveOoxml);
  EXPECT_EQ(mainPassCarver(kTypeZip), &vellumark::carveZip);  // saves packages whose first entry is another
  EXPECT_EQ(finalSweepCarver(kTypeOle2), nullptr);
  EXPECT_EQ(mainPassCarver(kTypeNone), nullptr);
}

}  // namespace
}  // namespace vellumark
