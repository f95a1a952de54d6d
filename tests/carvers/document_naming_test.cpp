// Recovered documents named after their content: Word text without Word, titles and dates
// of the other families, the renaming through the document sink, and hostile fields.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

#include "app/rename_marker.h"
#include "carvers/document_naming.h"
#include "carvers/document_properties.h"
#include "carvers/ole2_carver.h"
#include "carvers/ooxml_carver.h"
#include "carvers/word_text.h"
#include "driver/carve_services.h"
#include "util/unicode.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"
#include "support/word_writer.h"

namespace vellumark {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

constexpr std::uint32_t kSector = 512;
constexpr std::int64_t kStart = 16 * kSector;

struct Rescued {
  std::vector<std::string> names;  // of the files in the output folder
  std::vector<RecoveredFile> files;
};

// Lays the document out at sector 16 of an image and carves it, renaming as the scan would.
Rescued carve(const std::vector<std::uint8_t>& doc, CarverFn carver, const TempDir& out, bool rename = true) {
  test::ImageBuilder image(16 + (doc.size() + kSector - 1) / kSector + 8, kSector);
  image.putBytes(kStart, doc);
  test::CarveSetup setup(image.bytes(), kSector, out.path());
  setup.state.renameByTitle = rename;
  carver(setup.ctx, kStart);
  Rescued r;
  for (const auto& e : fs::directory_iterator(out.path())) r.names.push_back(e.path().filename().string());
  r.files = setup.state.recoveredFiles;
  return r;
}

std::vector<std::uint8_t> wordDoc(const std::u16string& text, bool eightBit = false) {
  test::WordDocumentContent content;
  content.text = text;
  content.eightBitPieces = eightBit;
  return test::writeWordDocument(content);
}

std::string nameOf(const std::u16string& text) {
  TempDir out;
  const Rescued r = carve(wordDoc(text), carveOle2, out);
  return r.names.size() == 1 ? r.names[0] : "";
}

TEST(WordRenaming, NamesAfterTheFirstLineThroughTheFilterAndTheCut) {
  EXPECT_EQ(nameOf(u"Report 2023: final!\rSecond line\r"), "TEST_AAAAAAAQ_Report 2023 final.DOC");
  // A line of punctuation is passed over; the filter keeps spaces, letters, digits, and
  // everything from U+0100 up.
  EXPECT_EQ(nameOf(u"  ...!?\r\v\x0c\rNext: one\r"), "TEST_AAAAAAAQ_Next one.DOC");
  EXPECT_EQ(nameOf(u"中文标题：报告\r"), "TEST_AAAAAAAQ_中文标题：报告.DOC");
  EXPECT_EQ(nameOf(u"a/b\\c:d\x01" u"e\r"), "TEST_AAAAAAAQ_abcde.DOC");
  // Field instructions are not text; their results are.
  EXPECT_EQ(nameOf(u"\x13 PAGEREF x \\h \x14" u"7\x15 Pages\r"), "TEST_AAAAAAAQ_7 Pages.DOC");
  // Nothing but punctuation: the first name stays.
  EXPECT_EQ(nameOf(u"!!!\r---\r"), "TEST_AAAAAAAQ.DOC");

  const std::u16string longLine(300, u'x');
  EXPECT_EQ(nameOf(longLine + u"\r"), "TEST_AAAAAAAQ_" + std::string(kMaxTitleChars, 'x') + ".DOC");
  // 108 Chinese characters are 324 bytes of UTF-8: cut further, whole characters only, so
  // that the name fits in 255 bytes.
  const std::string cjk = nameOf(std::u16string(300, u'文') + u"\r");
  EXPECT_LE(cjk.size(), 255u);
  EXPECT_EQ(cjk, "TEST_AAAAAAAQ_" + toUtf8(std::u16string((255 - 18) / 3, u'文')) + ".DOC");
}

TEST(WordRenaming, EightBitPiecesUseWordsCodePage) {
  TempDir out;
  const Rescued r = carve(wordDoc(u"\x93Quoted\x94 caf\xe9 report\r", true), carveOle2, out);
  // The curly quotes (U+201C, U+201D) are kept, é (U+00E9) is dropped.
  ASSERT_EQ(r.names.size(), 1u);
  EXPECT_EQ(r.names[0], "TEST_AAAAAAAQ_\u201CQuoted\u201D caf report.DOC");
}

TEST(WordRenaming, SwitchedOffOrBlockedKeepsTheFirstName) {
  TempDir out;
  EXPECT_EQ(carve(wordDoc(u"Title\r"), carveOle2, out, false).names, std::vector<std::string>{"TEST_AAAAAAAQ.DOC"});

  // A file that already has the new name is never replaced.
  TempDir taken;
  test::writeFileBytes(taken / "TEST_AAAAAAAQ_Title.DOC", std::vector<std::uint8_t>{1, 2, 3});
  const Rescued r = carve(wordDoc(u"Title\r"), carveOle2, taken);
  EXPECT_EQ(test::readFileBytes(taken / "TEST_AAAAAAAQ_Title.DOC"), (std::vector<std::uint8_t>{1, 2, 3}));
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(fs::path(r.files[0].path).filename(), "TEST_AAAAAAAQ.DOC");

  // An encrypted document gives no text.
  test::WordDocumentContent content;
  content.text = u"Secret\r";
  content.encrypted = true;
  TempDir enc;
  EXPECT_EQ(carve(test::writeWordDocument(content), carveOle2, enc).names, std::vector<std::string>{"TEST_AAAAAAAQ.DOC"});

  TempDir program;
  EXPECT_FALSE(renamingSwitchedOff(program.path().string() + "/"));
  test::writeFileBytes(program / "NoReName.DOC", std::vector<std::uint8_t>{});
  EXPECT_TRUE(renamingSwitchedOff(program.path().string() + "/"));
}

TEST(DocumentDates, LastSavedBecomesTheModificationTimeWhenPlausible) {
  const std::int64_t saved = 1'420'070'400;  // 2015-01-01
  test::WordDocumentContent content;
  content.text = u"Dated\r";
  content.lastSavedFileTime = test::fileTimeOf(saved);
  TempDir out;
  const Rescued r = carve(test::writeWordDocument(content), carveOle2, out);
  ASSERT_EQ(r.files.size(), 1u);
  struct stat st {};
  ASSERT_EQ(::stat(r.files[0].path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, saved);
  EXPECT_FALSE(plausibleSaveTime(600'000'000, saved));  // 1989
  EXPECT_FALSE(plausibleSaveTime(saved + 11, saved + 10));
  EXPECT_EQ(unixTimeOfW3cDate("2023-05-01T12:20:30.25+02:00"), 1'682'936'430);
  EXPECT_EQ(unixTimeOfW3cDate("2023-05-01"), 1'682'899'200);
  EXPECT_FALSE(unixTimeOfW3cDate("May 2023"));
  EXPECT_EQ(pathWithTitle("/out/TEST_AAAAAAAQ.ENC.XLSX", "T"), "/out/TEST_AAAAAAAQ_T.ENC.XLSX");
}

TEST(DocumentTitles, PackagesAreNamedAfterCoreTitle) {
  const std::string core =
      "<?xml version=\"1.0\"?><cp:coreProperties xmlns:cp=\"x\" xmlns:dc=\"y\" xmlns:dcterms=\"z\">"
      "<dc:creator>A &amp; B</dc:creator><dc:title>Budget: 2024 &#x4E2D;</dc:title>"
      "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">2021-03-04T05:06:07Z</dcterms:modified></cp:coreProperties>";
  TempDir out;
  const Rescued r = carve(test::makeZip({{"[Content_Types].xml", "<Types/>"}, {"xl/workbook.xml", "<w/>"},
                                         {"docProps/core.xml", core}}),
                          carveOoxml, out);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.names.at(0), "TEST_AAAAAAAQ_Budget 2024 中.XLSX");
  EXPECT_EQ(r.files[0].author, "A & B");
  EXPECT_EQ(r.files[0].lastSaved, 1'614'834'367);
}

// --- Real documents ---------------------------------------------------------------------

std::vector<std::uint8_t> corpusBytes(const test::CorpusDocument& d) { return test::readFileBytes(d.path); }

std::string trimmedUtf8(const std::optional<std::u16string>& line) {
  if (!line) return {};
  const std::size_t a = line->find_first_not_of(u' ');
  if (a == std::u16string::npos) return {};
  return toUtf8(line->substr(a, line->find_last_not_of(u' ') - a + 1));
}

// The first non-empty line a tool prints, after the same filter.
std::string toolTitle(const std::string& command) {
  int status = 0;
  const std::string out = test::commandOutput(command + " 2>/dev/null", &status);
  return trimmedUtf8(firstTitleLine(fromUtf8(out)));
}

TEST(WordText, FirstLinesOfTheCorpusMatchAntiwordOrCatdoc) {
  if (!test::haveProgram("antiword") || !test::haveProgram("catdoc")) GTEST_SKIP() << "antiword or catdoc missing";
  // Where this reader differs from both, on purpose:
  // - field instructions are left out (catdoc prints "PAGEREF userref \h" before the result);
  // - Word 95 text is read in the code page of the document's properties (the tools read
  //   Latin-1, which the filter then empties), giving the Cyrillic first line;
  // - a table cell ends a line, as in the text Word itself gives (catdoc joins the cells,
  //   antiword pads them with spaces).
  const std::map<std::string, std::string> judged = {
      {"pageref.doc", "1"}, {"word95err.doc", "Компания Аскат М"}, {"table-merges.doc", "A"}};
  int compared = 0;
  for (const test::CorpusDocument& d : test::corpusDocuments()) {
    if (d.ext != "doc") continue;
    const std::vector<std::uint8_t> bytes = corpusBytes(d);
    const auto cf = cfb::openCompoundFile(bytes);
    ASSERT_TRUE(cf) << d.name;
    const auto text = word::mainText(bytes, *cf, compoundFileProperties(bytes, *cf).codePage);
    const std::string ours = text ? trimmedUtf8(firstTitleLine(*text)) : "";
    const std::string quoted = "'" + d.path.string() + "'";
    if (auto j = judged.find(d.name); j != judged.end()) {
      EXPECT_EQ(ours, j->second) << d.name;
      continue;
    }
    const std::string anti = toolTitle("antiword -w 0 -m UTF-8.txt " + quoted);
    const std::string cat = toolTitle("catdoc -w -d utf-8 " + quoted);
    EXPECT_TRUE(ours == anti || ours == cat) << d.name << ": ours '" << ours << "', antiword '" << anti << "', catdoc '" << cat << "'";
    ++compared;
  }
  EXPECT_GE(compared, 10);
}

std::string pythonWithOlefile() {
  for (const char* py : {"python3", "/usr/bin/python3"})
    if (test::runCommand(std::string(py) + " -c 'import olefile' 2>/dev/null") == 0) return py;
  return {};
}

TEST(DocumentTitles, CorpusPropertiesMatchOlefileAndCoreXml) {
  const std::string py = pythonWithOlefile();
  if (py.empty() || !test::haveProgram("unzip")) GTEST_SKIP() << "python3-olefile or unzip missing";
  TempDir scripts;
  // Title (UTF-8) and last-saved time in seconds, or "-" for none, one line each.
  const std::string ole =
      "import olefile,sys,datetime\n"
      "o=olefile.OleFileIO(sys.argv[1]); m=o.get_metadata()\n"
      "cp=m.codepage if m.codepage and m.codepage>0 else (65001 if m.codepage==-535 else 1252)\n"
      "t=m.title.split(b'\\0')[0].decode('utf-8' if cp==65001 else 'mac_roman' if cp==10000 else 'cp%d'%cp) if m.title else ''\n"
      "d=m.last_saved_time\n"
      "print(t); print(int(d.replace(tzinfo=datetime.timezone.utc).timestamp()) if d and d.year>1601 else '-')\n";
  const std::string core =
      "import sys,re,datetime,xml.etree.ElementTree as E\n"
      "x=sys.stdin.buffer.read()\n"
      "x=re.sub(rb'<!DOCTYPE.*?]>',b'',x,flags=re.S); x=re.sub(rb'&(?!amp;|lt;|gt;|quot;|apos;|#)\\w+;',b'',x)\n"
      "r=E.fromstring(x)\n"
      "t=r.find('{http://purl.org/dc/elements/1.1/}title'); m=r.find('{http://purl.org/dc/terms/}modified')\n"
      "print(t.text if t is not None and t.text else '')\n"
      "print(int(datetime.datetime.fromisoformat(m.text.replace('Z','+00:00')).timestamp()) if m is not None else '-')\n";
  std::ofstream(scripts / "ole.py") << ole;
  std::ofstream(scripts / "core.py") << core;
  int compared = 0;
  for (const test::CorpusDocument& d : test::corpusDocuments()) {
    const bool compound = d.ext == "xls" || d.ext == "ppt";
    const bool package = d.ext == "docx" || d.ext == "xlsx" || d.ext == "pptx";
    if ((!compound && !package) || d.hasNote("encrypted-ooxml")) continue;
    const std::string quoted = "'" + d.path.string() + "'";
    const std::string expected = compound
        ? test::commandOutput(py + " '" + (scripts / "ole.py").string() + "' " + quoted)
        : test::commandOutput("unzip -p " + quoted + " docProps/core.xml | " + py + " '" + (scripts / "core.py").string() + "'");
    TempDir out;
    const Rescued r = carve(corpusBytes(d), compound ? carveOle2 : carveOoxml, out);
    ASSERT_EQ(r.files.size(), 1u) << d.name;
    const RecoveredFile& f = r.files[0];
    const std::string got = f.title + "\n" + (f.lastSaved ? std::to_string(*f.lastSaved) : "-") + "\n";
    EXPECT_EQ(got, expected) << d.name;
    // Named after the title when it has one that survives the filter.
    const auto line = firstTitleLine(fromUtf8(f.title));
    if (line) {
      EXPECT_NE(fs::path(f.path).filename().string().find("_" + titleForName(*line) + "."), std::string::npos) << d.name;
    }
    ++compared;
  }
  EXPECT_GE(compared, 20);
}

// Random bytes in every FIB, piece-table and property-set field of real documents: the
// readers give some text or none, never read outside their buffers (run under the sanitizer
// build to see that).
TEST(HostileFields, MutatedFibPieceTablesAndPropertySetsNeverCrash) {
  std::mt19937 rng(20240613);
  int documents = 0;
  for (const test::CorpusDocument& d : test::corpusDocuments()) {
    if (d.ext != "doc" && d.ext != "xls" && d.ext != "ppt") continue;
    const std::vector<std::uint8_t> bytes = corpusBytes(d);
    const auto cf = cfb::openCompoundFile(bytes);
    if (!cf) continue;
    auto streamOf = [&](const char* name) {
      const cfb::DirEntry* e = cf->stream(name);
      return e ? cfb::readStream(bytes, cf->header, cf->fat, cf->entries, *e).value_or(std::vector<std::uint8_t>{})
               : std::vector<std::uint8_t>{};
    };
    const std::vector<std::uint8_t> wd = streamOf("WordDocument");
    const std::vector<std::uint8_t> table = wd.empty() ? std::vector<std::uint8_t>{} : streamOf(word::tableStreamName(wd));
    const std::vector<std::uint8_t> summary = streamOf("\005SummaryInformation");
    // The CLX's place, to aim at the piece table.
    const std::size_t clxAt = std::min<std::size_t>(le32(wd, 418), table.size());
    const std::size_t clxEnd = std::min<std::size_t>(clxAt + le32(wd, 422), table.size());
    ++documents;
    for (int round = 0; round < 400; ++round) {
      auto mutate = [&](std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
        if (to <= from) return;
        const int changes = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < changes; ++i) b[from + rng() % (to - from)] = static_cast<std::uint8_t>(rng());
      };
      std::vector<std::uint8_t> w = wd, t = table, s = summary;
      mutate(w, 0, std::min<std::size_t>(w.size(), 900));
      mutate(t, clxAt, clxEnd);
      mutate(s, 0, s.size());
      if (round % 4 == 0) t.resize(rng() % (t.size() + 1));
      const auto text = word::mainTextOfStreams(w, t, static_cast<std::uint16_t>(rng()));
      if (text) {
        EXPECT_LE(text->size(), word::kMaxTextChars);
      }
      (void)firstTitleLine(text.value_or(u""));
      (void)readSummaryInformation(s);
    }
    // And the whole file with random bytes anywhere.
    for (int round = 0; round < 50; ++round) {
      std::vector<std::uint8_t> b = bytes;
      for (int i = 0; i < 16; ++i) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
      (void)describeCompoundFile(b, true);
    }
  }
  EXPECT_GE(documents, 25);
}

}  // namespace
}  // namespace vellumark
