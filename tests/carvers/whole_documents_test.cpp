// Every document lying whole on a disk comes back byte-identical, and nothing damaged is
// passed off as a document. Whole scans of an image made of the corpus plus packages and
// compound files written here (data descriptors from `zip` and Python writing to a pipe,
// ZIP64 entries, 4096-byte compound sectors), laid out on noise with random gaps; the same
// image with one sector of each document overwritten; every single sector of every corpus
// document overwritten in turn; and hostile packages.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <tuple>

#include "carvers/carver_framework.h"
#include "carvers/compound_file.h"
#include "carvers/ole2_carver.h"
#include "carvers/ooxml_carver.h"
#include "carvers/recovered_output.h"
#include "carvers/zip_walk.h"
#include "driver/scan_driver.h"
#include "support/carve_setup.h"
#include "support/compound_writer.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::ImageBuilder;
using test::TempDir;

struct Document {
  std::string label;
  std::string ext;                   // as saved: ".DOC", ".XLSX", ...
  std::vector<std::uint8_t> bytes;   // as it lies on the disk
  std::vector<std::uint8_t> expected;  // what must come back
};

bool isCompound(Bytes b) { return le32(b, 0) == 0xE011CFD0; }

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<Document> corpus() {
  std::vector<Document> docs;
  for (const auto& d : test::corpusDocuments()) {
    Document doc{d.name, (d.hasNote("encrypted-ooxml") ? ".ENC." : ".") + upper(d.ext), test::readFileBytes(d.path), {}};
    doc.expected = doc.bytes;
    // A compound file whose writer cut its last sector short comes back with that sector
    // whole: the FAT describes it, and the disk holds zeros after the file.
    if (isCompound(doc.bytes)) doc.expected.resize((doc.bytes.size() + 511) / 512 * 512, 0);
    docs.push_back(std::move(doc));
  }
  return docs;
}

std::string pythonWithOlefile() {
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (test::runCommand(std::string(py) + " -c 'import olefile' 2>/dev/null") == 0) return py;
  return {};
}

// Packages with data descriptors (and ZIP64 entries), made by real writers to a pipe, and
// 4096-byte compound files; empty when the tools are missing.
std::vector<Document> writtenHere(const TempDir& dir) {
  std::vector<Document> docs;
  const fs::path source = fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / "stress001.docx";
  const fs::path tree = dir / "tree";
  if (test::haveProgram("python3") && test::haveProgram("zip")) {
    test::runCommand("python3 -c \"import zipfile,sys; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])\" '" +
                     source.string() + "' '" + tree.string() + "'");
    test::runCommand("cd '" + tree.string() + "' && zip -q -X -r - . | cat > '" + (dir / "deflated.docx").string() + "'");
    test::runCommand("cd '" + tree.string() + "' && zip -q -X -0 -r - . | cat > '" + (dir / "stored.docx").string() + "'");
    const std::string script =
        "import sys, zipfile\n"
        "src = zipfile.ZipFile(sys.argv[1])\n"
        "with zipfile.ZipFile(sys.stdout.buffer, 'w') as z:\n"
        "    for i, info in enumerate(src.infolist()):\n"
        "        zi = zipfile.ZipInfo(info.filename, date_time=info.date_time)\n"
        "        zi.compress_type = zipfile.ZIP_STORED if i % 3 == 1 else zipfile.ZIP_DEFLATED\n"
        "        with z.open(zi, 'w', force_zip64=(i % 3 == 2)) as f: f.write(src.read(info))\n"
        "    z.comment = b'written to a pipe'\n";
    test::writeFileBytes(dir / "pipe.py", std::span(reinterpret_cast<const std::uint8_t*>(script.data()), script.size()));
    test::runCommand("python3 '" + (dir / "pipe.py").string() + "' '" + source.string() + "' | cat > '" +
                     (dir / "python.docx").string() + "'");
    // Every size and offset above these limits goes into ZIP64 fields, and the end record
    // defers to a ZIP64 end record and its locator.
    const std::string zip64 =
        "import sys, zipfile\n"
        "zipfile.ZIP64_LIMIT = 1000\n"
        "zipfile.ZIP_FILECOUNT_LIMIT = 2\n"
        "src = zipfile.ZipFile(sys.argv[1])\n"
        "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for info in src.infolist():\n"
        "        with z.open(zipfile.ZipInfo(info.filename, date_time=info.date_time), 'w', force_zip64=True) as f:\n"
        "            f.write(src.read(info))\n";
    test::writeFileBytes(dir / "zip64.py", std::span(reinterpret_cast<const std::uint8_t*>(zip64.data()), zip64.size()));
    test::runCommand("python3 '" + (dir / "zip64.py").string() + "' '" + source.string() + "' | cat > '" +
                     (dir / "zip64.docx").string() + "'");
    for (const char* name : {"deflated.docx", "stored.docx", "python.docx", "zip64.docx"}) {
      auto bytes = test::readFileBytes(dir / name);
      const std::uint8_t descriptor[] = {'P', 'K', 7, 8};
      EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin(descriptor), std::end(descriptor)), bytes.end())
          << name << " has no data descriptor";
      docs.push_back({name, ".DOCX", bytes, bytes});
    }
  }

  std::mt19937 rng(7);
  auto content = [&](std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng() % 64 + 32);
    return v;
  };
  test::CompoundOptions big;
  big.sectorBytes = 4096;
  test::CompoundOptions blank = big;
  blank.blankRootName = true;
  test::CompoundOptions backwards;
  backwards.fatSectorsListedBackwards = true;
  const std::vector<std::pair<Document, test::CompoundOptions>> compound{
      {{"word-4096.doc", ".DOC", test::writeCompoundFile({{"WordDocument", content(30'000)}, {"1Table", content(900)}}, big), {}}, big},
      {{"excel-4096.xls", ".XLS", test::writeCompoundFile({{"Workbook", content(9'000)}, {"\x05SummaryInformation", content(200)}}, big), {}}, big},
      {{"blank-root.ppt", ".PPT", test::writeCompoundFile({{"PowerPoint Document", content(12'000)}, {"Current User", content(50)}}, blank), {}}, blank},
      {{"fat-backwards.ppt", ".PPT", test::writeCompoundFile({{"PowerPoint Document", content(150'000)}, {"Pictures", content(3000)}}, backwards), {}}, backwards},
  };
  const std::string py = pythonWithOlefile();
  for (const auto& [doc, options] : compound) {
    Document d = doc;
    d.expected = d.bytes;
    if (!py.empty()) {
      test::writeFileBytes(dir / d.label, d.bytes);
      EXPECT_EQ(test::runCommand(py + " -c \"import olefile,sys; o=olefile.OleFileIO(sys.argv[1]); "
                                 "[o.openstream(e).read() for e in o.listdir()]\" '" + (dir / d.label).string() + "'"), 0)
          << d.label << " is not a compound file olefile reads";
    }
    docs.push_back(std::move(d));
  }
  return docs;
}

struct Placed {
  const Document* doc;
  std::uint64_t sector;   // first source sector
};

// The documents one after another on noise, each starting on a sector of its own after a gap
// of 0 to 7 noise sectors; the rest of each document's last sector is zero.
ImageBuilder layOut(const std::vector<Document>& docs, std::uint32_t bps, std::vector<Placed>& placed) {
  std::mt19937 rng(bps);
  std::uint64_t total = 4;
  for (const Document& d : docs) total += 8 + (d.bytes.size() + bps - 1) / bps;
  ImageBuilder image(total, bps);
  image.fillRandom(0, image.bytes().size(), 99);
  std::uint64_t at = 2;
  for (const Document& d : docs) {
    at += rng() % 8;
    const std::uint64_t sectors = (d.bytes.size() + bps - 1) / bps;
    image.fill(at * bps, sectors * bps, 0);
    image.putBytes(at * bps, d.bytes);
    placed.push_back({&d, at});
    at += sectors;
  }
  return image;
}

struct Scan {
  ScanSummary summary;
  std::uint32_t damaged = 0;
};

Scan scanImage(const ImageBuilder& image, const fs::path& out, bool keepDamaged) {
  ScanState state;
  openScanSource(state, image.source(), "image");
  state.keepDamaged = keepDamaged;
  state.renameByTitle = false;  // found by their first names
  test::RecordingFrontEnd frontEnd;
  ScanRequest request;
  request.outputFolder = out.string();
  request.endSector = state.geometry.lastSector;
  request.folderOnSource = [](const std::string&) { return false; };
  Scan scan{runScan(state, frontEnd, request), 0};
  scan.damaged = state.damagedCount;
  return scan;
}

std::string outputName(const Placed& p, std::uint32_t bps) {
  return "TEST_" + sectorLetters(8, static_cast<std::int64_t>(p.sector * bps) >> 9) + p.doc->ext;
}

TEST(WholeDocuments, EveryDocumentOnNoiseComesBackByteIdentical) {
  TempDir work;
  std::vector<Document> docs = corpus();
  ASSERT_GE(docs.size(), 55u);
  for (Document& d : writtenHere(work)) docs.push_back(std::move(d));
  for (std::uint32_t bps : {512u, 4096u}) {
    SCOPED_TRACE("sector size " + std::to_string(bps));
    std::vector<Placed> placed;
    const ImageBuilder image = layOut(docs, bps, placed);
    TempDir out;
    const Scan scan = scanImage(image, out.path(), true);
    EXPECT_EQ(scan.summary.recovered, docs.size());
    EXPECT_EQ(scan.damaged, 0u);
    EXPECT_FALSE(fs::exists(out / "damaged"));
    for (const Placed& p : placed) {
      const fs::path file = out / outputName(p, bps);
      ASSERT_TRUE(fs::exists(file)) << p.doc->label;
      EXPECT_TRUE(test::readFileBytes(file) == p.doc->expected) << p.doc->label << " differs";
    }
  }
}

TEST(WholeDocuments, OneOverwrittenSectorPerDocumentIsNeverPassedOffAsAPackage) {
  std::vector<Document> docs = corpus();
  std::vector<Placed> placed;
  ImageBuilder image = layOut(docs, 512, placed);
  std::mt19937 rng(5);
  for (const Placed& p : placed) {
    const std::uint64_t s = 1 + rng() % ((p.doc->bytes.size() + 511) / 512 - 1);
    image.fillRandom((p.sector + s) * 512, 512, static_cast<std::uint32_t>(s));
  }
  TempDir out;
  const Scan scan = scanImage(image, out.path(), true);
  std::size_t kept = 0;
  for (const Placed& p : placed) {
    SCOPED_TRACE(p.doc->label);
    const bool damaged = fs::exists(out / "damaged" / outputName(p, 512));
    kept += damaged ? 1 : 0;
    EXPECT_FALSE(damaged && fs::exists(out / outputName(p, 512)));
    // A package is written only as it was: the fragment search may find the lost sector's
    // bytes in a copy of the same part elsewhere, never anything else.
    if (!isCompound(p.doc->bytes) && fs::exists(out / outputName(p, 512))) {
      EXPECT_TRUE(test::readFileBytes(out / outputName(p, 512)) == p.doc->expected) << "a damaged package was written as a document";
    }
  }
  EXPECT_EQ(kept, scan.damaged);
}

TEST(WholeDocuments, APackageWithAnEntryStartingASectorIsTakenFromItsFirstEntry) {
  // The second local header starts sector 1 of the package: the scan meets it first (as a
  // plain ZIP), and must leave its sectors to the package that begins a sector earlier.
  const auto docx = test::makeZip({{"[Content_Types].xml", std::string(512 - 30 - 19, 't')}, {"word/document.xml", std::string(3000, 'w')}});
  ASSERT_EQ(le32(docx, 512), 0x04034B50u);
  ImageBuilder image(64);
  image.fillRandom(0, image.bytes().size(), 4);
  image.fill(8 * 512, 8 * 512, 0);
  image.putBytes(8 * 512, docx);
  TempDir out;
  const Scan scan = scanImage(image, out.path(), true);
  EXPECT_EQ(scan.summary.recovered, 1u);
  EXPECT_EQ(scan.damaged, 0u);
  EXPECT_TRUE(test::readFileBytes(out / "TEST_AAAAAAAI.DOCX") == docx);
}

// Compound-file sectors that hold structure (FAT, DIFAT, directory, mini FAT) by file offset.
std::set<std::int64_t> structureSectors(Bytes file) {
  std::set<std::int64_t> out;
  auto header = cfb::readHeader(file);
  if (!header) return out;
  cfb::WholeFile whole(file);
  cfb::Fat fat;
  if (!cfb::collectFat(whole, *header, fat).empty()) return out;
  auto add = [&](std::uint32_t n) { out.insert(header->sectorOffset(n) / 512); };
  for (std::uint32_t s : fat.fatSectors) add(s);
  for (std::uint32_t s : fat.difatSectors) add(s);
  std::vector<std::uint32_t> chain;
  const std::int64_t count = static_cast<std::int64_t>(file.size()) / header->sectorBytes;
  if (cfb::followChain(fat.entries, header->firstDirectorySector, count, 1000, chain).empty())
    for (std::uint32_t s : chain) add(s);
  if (header->miniFatSectors > 0 && cfb::followChain(fat.entries, header->firstMiniFatSector, count, 1000, chain).empty())
    for (std::uint32_t s : chain) add(s);
  return out;
}

TEST(WholeDocuments, EverySectorOfEveryDocumentOverwrittenInTurn) {
  std::size_t compoundCases = 0, compoundCaught = 0, structureCases = 0, packageCases = 0;
  for (const Document& doc : corpus()) {
    SCOPED_TRACE(doc.label);
    const std::int64_t sectors = static_cast<std::int64_t>((doc.bytes.size() + 511) / 512);
    const std::set<std::int64_t> structure = isCompound(doc.bytes) ? structureSectors(doc.bytes) : std::set<std::int64_t>{};
    for (std::int64_t s = 1; s < sectors; ++s) {
      ImageBuilder image(static_cast<std::uint64_t>(sectors) + 40);
      image.fillRandom(0, image.bytes().size(), 3);
      image.fill(8 * 512, static_cast<std::uint64_t>(sectors) * 512, 0);
      image.putBytes(8 * 512, doc.bytes);
      image.fillRandom(static_cast<std::uint64_t>(8 + s) * 512, 512, static_cast<std::uint32_t>(s));
      // Thousands of carves: the output folder does not exist, so a document the carver
      // passes off shows as a failed save rather than costing a file written to disk.
      test::CarveSetup setup(image.bytes(), 512, "/nonexistent-vellumark-output");
      (isCompound(doc.bytes) ? carveOle2 : carveOoxml)(setup.ctx, 8 * 512);
      const bool passedOff = setup.state.recoveredCount + setup.state.saveFailures > 0;
      if (!isCompound(doc.bytes)) {
        ++packageCases;
        EXPECT_FALSE(passedOff) << "sector " << s;
        continue;
      }
      ++compoundCases;
      compoundCaught += passedOff ? 0 : 1;
      if (structure.count(s) > 0) {
        ++structureCases;
        EXPECT_FALSE(passedOff) << "overwritten structure sector " << s << " not caught";
      }
    }
  }
  std::cout << "packages: " << packageCases << " overwritten sectors, none passed off\n"
            << "compound files: " << compoundCaught << " of " << compoundCases << " overwritten sectors caught ("
            << structureCases << " FAT, DIFAT, directory or mini FAT sectors, all caught)\n";
}

TEST(ZipWalk, TracingWithoutHoldingFindsTheSameRecords) {
  // What a carver of archives that need not be held does: bytes dropped as the walk goes,
  // long bodies claimed unread, descriptors still found by inflating or searching.
  TempDir work;
  std::vector<Document> packages = writtenHere(work);
  std::erase_if(packages, [](const Document& d) { return isCompound(d.bytes); });
  packages.push_back({"big stored", ".DOCX", test::makeZip({{"word/media/a.bin", std::string(20'000, 'b')}, {"word/document.xml", "d"}}), {}});
  for (const Document& d : packages) {
    SCOPED_TRACE(d.label);
    auto walkWith = [&](std::int64_t holdBytes) {
      ImageBuilder image(d.bytes.size() / 512 + 8);
      image.putBytes(0, d.bytes);
      test::CarveSetup setup(image.bytes(), 512, work.path());
      Carve carve(setup.ctx, 0);
      zip::WalkOptions options;
      options.holdBytes = holdBytes;
      const zip::WalkResult walk = zip::walkArchive(carve, options);
      return std::tuple{walk.stop, walk.archive.length, walk.archive.locals.size(), walk.archive.centrals.size(), carve.keptFrom() > 0};
    };
    const auto held = walkWith(zip::kMaxArchiveBytes);
    const auto traced = walkWith(0);
    EXPECT_EQ(std::get<0>(held), zip::WalkStop::End);
    EXPECT_EQ(std::get<1>(traced), static_cast<std::int64_t>(d.bytes.size()));
    EXPECT_EQ(std::get<0>(traced), std::get<0>(held));
    EXPECT_EQ(std::get<2>(traced), std::get<2>(held));
    EXPECT_EQ(std::get<3>(traced), std::get<3>(held));
    EXPECT_TRUE(std::get<4>(traced));
  }
}

// Stored entries chained a cluster apart, broken here and there by noise or by an entry that
// jumps a cluster. Walked from the highest candidate down, as the scan does, walks that go by
// what the higher ones learnt (and look no further ahead where that says enough) stop as
// walks that know nothing. Under an archive bound that some chains outrun, a walk that knows
// the records ahead may stop on what it knows of them (past the range, or on noise) where
// one that knows nothing stops on the bound its looks ahead reach first.
TEST(ZipWalk, WalksThatGoByWhatHigherWalksLearntStopAsWalksThatKnowNothing) {
  constexpr std::int64_t kCluster = 4096;
  constexpr std::int64_t kClusters = 160;
  ImageBuilder image(kClusters * kCluster / 512);
  image.fillRandom(0, kClusters * kCluster, 11);
  std::mt19937 rng(11);
  std::vector<std::int64_t> starts;
  for (std::int64_t c = 0; c < kClusters; ++c) {
    const std::uint32_t pick = rng() % 40;
    if (pick == 0) continue;  // noise
    const std::int64_t at = c * kCluster;
    const std::uint32_t size = static_cast<std::uint32_t>((pick == 1 ? 2 : 1) * kCluster - 38);
    image.putLe32(at, 0x04034B50).putLe16(at + 4, 20).putLe16(at + 6, 0).putLe16(at + 8, 0);
    image.putLe32(at + 18, size).putLe32(at + 22, size).putLe16(at + 26, 8).putLe16(at + 28, 0).putText(at + 30, "part.bin");
    starts.push_back(at);
  }
  TempDir out;
  for (const std::int64_t bound : {zip::kMaxArchiveBytes, 30 * kCluster}) {
    SCOPED_TRACE("archive bound " + std::to_string(bound));
    test::CarveSetup setup(image.bytes(), 512, out.path());
    ASSERT_NE(setup.ctx.memory, nullptr);
    auto walk = [&](std::int64_t at, std::uint8_t tag) {
      Carve carve(setup.ctx, at);
      zip::WalkOptions options;
      options.checkRecordEnds = true;
      options.maxArchiveBytes = bound;
      options.holdBytes = bound;
      options.rememberAs = tag;
      return zip::walkArchive(carve, options);
    };
    std::set<zip::WalkStop> seen;
    int told = 0;
    for (auto at = starts.rbegin(); at != starts.rend(); ++at) {
      SCOPED_TRACE("candidate at " + std::to_string(*at));
      const zip::WalkResult knowing = walk(*at, 0x7E);
      const zip::WalkResult plain = walk(*at, 0);
      seen.insert(plain.stop);
      const auto known = setup.ctx.memory->recall(0x7E, *at);
      told += known && known->records >= 16 ? 1 : 0;
      if (plain.stop == zip::WalkStop::RecordTooLong) {
        EXPECT_NE(knowing.stop, zip::WalkStop::End);
        continue;
      }
      EXPECT_EQ(knowing.stop, plain.stop);
      EXPECT_EQ(knowing.stoppedAt, plain.stoppedAt);
    }
    EXPECT_TRUE(seen.count(zip::WalkStop::UnknownRecord) && seen.count(zip::WalkStop::OutOfRange));
    EXPECT_EQ(seen.count(zip::WalkStop::RecordTooLong), bound == zip::kMaxArchiveBytes ? 0u : 1u);
    EXPECT_GT(told, 10);
  }
}

// --- Hostile packages ----------------------------------------------------------------

void put16(std::vector<std::uint8_t>& b, std::size_t off, std::uint16_t v) {
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
  put16(b, off, static_cast<std::uint16_t>(v));
  put16(b, off + 2, static_cast<std::uint16_t>(v >> 16));
}

std::vector<std::uint8_t> deflate(const std::vector<std::uint8_t>& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::uint32_t crcOf(const std::vector<std::uint8_t>& d) {
  return static_cast<std::uint32_t>(crc32(0, d.data(), static_cast<uInt>(d.size())));
}

// One-entry package "word/document.xml" whose entry is `data` (already compressed with
// `method`), with a descriptor after it when `descriptor` is not empty. The central
// directory gives crc and sizes.
std::vector<std::uint8_t> onePart(std::uint16_t method, const std::vector<std::uint8_t>& data, std::uint32_t crc,
                                  std::uint32_t size, const std::vector<std::uint8_t>& descriptor) {
  const std::string name = "word/document.xml";
  std::vector<std::uint8_t> z(30, 0);
  put32(z, 0, 0x04034B50);
  put16(z, 4, 20);
  put16(z, 6, descriptor.empty() ? 0 : 8);
  put16(z, 8, method);
  if (descriptor.empty()) {
    put32(z, 14, crc);
    put32(z, 18, static_cast<std::uint32_t>(data.size()));
    put32(z, 22, size);
  }
  put16(z, 26, static_cast<std::uint16_t>(name.size()));
  z.insert(z.end(), name.begin(), name.end());
  z.insert(z.end(), data.begin(), data.end());
  z.insert(z.end(), descriptor.begin(), descriptor.end());
  const std::size_t cd = z.size();
  z.resize(cd + 46, 0);
  put32(z, cd, 0x02014B50);
  put16(z, cd + 8, descriptor.empty() ? 0 : 8);
  put16(z, cd + 10, method);
  put32(z, cd + 16, crc);
  put32(z, cd + 20, static_cast<std::uint32_t>(data.size()));
  put32(z, cd + 24, size);
  put16(z, cd + 28, static_cast<std::uint16_t>(name.size()));
  z.insert(z.end(), name.begin(), name.end());
  const std::size_t end = z.size();
  z.resize(end + 22, 0);
  put32(z, end, 0x06054B50);
  put16(z, end + 8, 1);
  put16(z, end + 10, 1);
  put32(z, end + 12, static_cast<std::uint32_t>(end - cd));
  put32(z, end + 16, static_cast<std::uint32_t>(cd));
  return z;
}

std::vector<std::uint8_t> descriptorOf(std::uint32_t crc, std::uint32_t csize, std::uint32_t usize) {
  std::vector<std::uint8_t> d(16);
  put32(d, 0, 0x08074B50);
  put32(d, 4, crc);
  put32(d, 8, csize);
  put32(d, 12, usize);
  return d;
}

struct Outcome {
  bool written = false;
  std::uint32_t damaged = 0;
  std::int64_t used = 0;
};

Outcome carvePackage(const std::vector<std::uint8_t>& zip) {
  ImageBuilder image((zip.size() + 511) / 512 + 40);
  image.putBytes(8 * 512, zip);
  TempDir out;
  test::CarveSetup setup(image.bytes(), 512, out.path());
  carveOoxml(setup.ctx, 8 * 512);
  return {setup.state.recoveredCount > 0, setup.state.damagedCount, setup.state.usedSectorMap.countUsed()};
}

TEST(HostilePackages, EndCleanlyAndAreNeverPassedOff) {
  std::vector<std::uint8_t> text(50'000);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>("<w:t>vellum</w:t>"[i % 17]);
  const auto packed = deflate(text);
  const std::uint32_t crc = crcOf(text);
  const auto size = static_cast<std::uint32_t>(text.size());
  const auto packedSize = static_cast<std::uint32_t>(packed.size());

  // The honest forms are recovered.
  EXPECT_TRUE(carvePackage(onePart(8, packed, crc, size, descriptorOf(crc, packedSize, size))).written);
  EXPECT_TRUE(carvePackage(onePart(0, text, crc, size, descriptorOf(crc, size, size))).written);

  // Descriptors that lie are no end of the entry: nothing is kept.
  EXPECT_EQ(carvePackage(onePart(8, packed, crc, size, descriptorOf(crc ^ 1, packedSize, size))).used, 0);
  EXPECT_EQ(carvePackage(onePart(8, packed, crc, size, descriptorOf(crc, packedSize, size + 1))).used, 0);
  EXPECT_EQ(carvePackage(onePart(0, text, crc, size, descriptorOf(crc ^ 1, size, size))).used, 0);

  // A stored entry holding a fake descriptor whose sizes fit the bytes before it: its CRC
  // does not, so the search goes on to the real one.
  std::vector<std::uint8_t> withFake = text;
  const auto fake = descriptorOf(0x12345678, 1000, 1000);
  std::copy(fake.begin(), fake.end(), withFake.begin() + 1000);
  const std::uint32_t fakeCrc = crcOf(withFake);
  EXPECT_TRUE(carvePackage(onePart(0, withFake, fakeCrc, size, descriptorOf(fakeCrc, size, size))).written);

  // Inflate bombs: 50 MB of zeros in about 50 KB, declared as 1000 bytes.
  const std::vector<std::uint8_t> zeros(50'000'000, 0);
  const auto bomb = deflate(zeros);
  const std::uint32_t zerosCrc = crcOf(zeros);
  const Outcome declaredSmall = carvePackage(onePart(8, bomb, zerosCrc, 1000, {}));
  EXPECT_FALSE(declaredSmall.written);
  EXPECT_EQ(declaredSmall.damaged, 1u);
  EXPECT_EQ(carvePackage(onePart(8, bomb, zerosCrc, 1000, descriptorOf(zerosCrc, static_cast<std::uint32_t>(bomb.size()), 1000))).used, 0);

  // A central entry that points at no local header, and one whose CRC is wrong.
  auto misplaced = onePart(8, packed, crc, size, {});
  put32(misplaced, misplaced.size() - 22 - 46 - 17 + 42, 7);
  EXPECT_EQ(carvePackage(misplaced).damaged, 1u);
  auto wrongCrc = onePart(8, packed, crc ^ 0x100, size, {});
  EXPECT_EQ(carvePackage(wrongCrc).damaged, 1u);
  // A deflate stream cut short.
  auto cut = onePart(8, std::vector<std::uint8_t>(packed.begin(), packed.end() - 100), crc, size, {});
  EXPECT_FALSE(carvePackage(cut).written);
}

TEST(HostileCompoundFiles, EntriesPointingOutsideTheFileAreDamaged) {
  const auto cf = test::writeCompoundFile({{"WordDocument", std::vector<std::uint8_t>(20'000, 7)}, {"1Table", std::vector<std::uint8_t>(100, 8)}});
  auto entryOffset = [&](std::string_view name) -> std::size_t {
    auto header = cfb::readHeader(cf);
    const std::size_t dir = static_cast<std::size_t>(header->sectorOffset(header->firstDirectorySector));
    for (std::size_t e = 0; e < 4; ++e)
      if (le16(cf, dir + 128 * e) == static_cast<std::uint8_t>(name[0]) && le16(cf, dir + 128 * e + 2) == static_cast<std::uint8_t>(name[1]))
        return dir + 128 * e;
    return 0;
  };
  const std::size_t word = entryOffset("WordDocument");
  ASSERT_NE(word, 0u);
  auto carve = [](const std::vector<std::uint8_t>& file, bool keep, const fs::path& out) {
    ImageBuilder image(file.size() / 512 + 40);
    image.putBytes(8 * 512, file);
    test::CarveSetup setup(image.bytes(), 512, out);
    setup.state.keepDamaged = keep;
    carveOle2(setup.ctx, 8 * 512);
    return std::pair{setup.state.recoveredCount, setup.state.damagedCount};
  };
  TempDir out;
  EXPECT_EQ(carve(cf, false, out.path()), std::pair(1u, 0u));
  for (std::uint32_t start : {1000u, 0xFFFFFFF0u}) {
    auto bad = cf;
    put32(bad, word + 116, start);
    TempDir o;
    EXPECT_EQ(carve(bad, true, o.path()), std::pair(0u, 1u));
    EXPECT_TRUE(fs::exists(o / "damaged" / "TEST_AAAAAAAI.DOC"));
    EXPECT_FALSE(fs::exists(o / "TEST_AAAAAAAI.DOC"));
  }
  auto tooLong = cf;
  put32(tooLong, word + 120, 2'000'000);
  EXPECT_EQ(carve(tooLong, false, out.path()), std::pair(0u, 1u));
  auto looped = cf;  // the stream's second sector leads back to its first
  const std::uint32_t first = le32(cf, word + 116);
  put32(looped, 512 * (le32(cf, 76) + 1) + 4 * (first + 1), first);
  EXPECT_EQ(carve(looped, false, out.path()), std::pair(0u, 1u));
}

TEST(RescueCommand, KeepDamagedWritesIntoTheDamagedFolderAndReportsBothCounts) {
  auto good = test::makeZip({{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", std::string(3000, 'w')}});
  auto bad = good;
  bad[30 + 19 + 8 + 30 + 17 + 100] ^= 0xFF;  // inside word/document.xml
  ImageBuilder image(64);
  image.putBytes(8 * 512, good);
  image.putBytes(32 * 512, bad);
  TempDir work;
  image.writeTo(work / "disk.img");
  fs::create_directory(work / "out");
  const std::string json = test::commandOutput(test::cliPath().string() + " rescue -q --json --keep-damaged '" +
                                               (work / "disk.img").string() + "' -o '" + (work / "out").string() + "'");
  EXPECT_NE(json.find("\"recovered\": 1,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"damaged\": 1,"), std::string::npos) << json;
  EXPECT_TRUE(fs::exists(work / "out" / "TEST_AAAAAAAI.DOCX"));
  EXPECT_TRUE(fs::exists(work / "out" / "damaged" / "TEST_AAAAAABG.DOCX"));
  const std::string text = test::commandOutput(test::cliPath().string() + " rescue -q --force '" + (work / "disk.img").string() +
                                               "' -o '" + (work / "out").string() + "'");
  EXPECT_NE(text.find("Damaged documents: 1"), std::string::npos) << text;
}

}  // namespace
}  // namespace vellumark
