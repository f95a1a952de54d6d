// The markup test that tells a package's XML parts from wrong data decoded in their place:
// every XML part of the bundled real packages passes it (fed in odd pieces), each broken
// rule is caught, and the package check built on it still completes every real package
// fed cluster by cluster, also after it went back to a state saved on another path.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "carvers/carver_framework.h"
#include "carvers/markup_check.h"
#include "carvers/zip_gap_search.h"
#include "carvers/zip_walk.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using Bytes8 = std::vector<std::uint8_t>;

bool takesWhole(std::string_view text, bool worksheet = false, std::size_t piece = 7) {
  MarkupCheck check(worksheet);
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size(); at += piece)
    if (!check.take(std::span(p + at, std::min(piece, text.size() - at)))) return false;
  return true;
}

bool isZip(const Bytes8& b) { return b.size() > 4 && b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4; }

TEST(MarkupCheck, EveryRealPartPassesAndEveryRealPackageCompletesClusterByCluster) {
  test::TempDir work;
  int parts = 0, packages = 0;
  for (const test::CorpusDocument& d : test::corpusDocuments()) {
    const Bytes8 bytes = test::readFileBytes(d.path);
    if (!isZip(bytes)) continue;
    SCOPED_TRACE(d.name);
    Bytes8 image = bytes;
    image.resize((bytes.size() / 512 + 2) * 512);
    test::CarveSetup setup(image, 512, work.path().string());
    Carve carve(setup.ctx, 0);
    const zip::WalkResult walk = zip::walkArchive(carve);
    ASSERT_EQ(walk.stop, zip::WalkStop::End);
    for (const zip::CentralRecord& entry : walk.archive.centrals) {
      const std::string& name = entry.name;
      if (!name.ends_with(".xml") && !name.ends_with(".rels")) continue;
      const auto content = zip::entryContent(bytes, walk.archive, name, 64u << 20);
      ASSERT_TRUE(content) << name;
      const std::string_view text(reinterpret_cast<const char*>(content->data()), content->size());
      EXPECT_TRUE(takesWhole(text, name.starts_with("xl/worksheets/"))) << name;
      ++parts;
    }
    zip::ZipFragmentCheck check(1 << 28);
    FragmentVerdict v = FragmentVerdict::Consistent;
    for (std::size_t at = 0; at < bytes.size() && v == FragmentVerdict::Consistent; at += 4096)
      v = check.take(Bytes(bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at)));
    EXPECT_EQ(v, FragmentVerdict::Complete);
    ++packages;
  }
  EXPECT_GE(packages, 10);
  EXPECT_GE(parts, 100);
}

TEST(MarkupCheck, CatchesWhatNoWellFormedTextHolds) {
  const std::string head = "<?xml version=\"1.0\"?>\r\n<a x=\"1\" y='2'>";
  // Sound texts, including what a naive test would trip over.
  EXPECT_TRUE(takesWhole(head + "t &amp; &#x41; > <b/><!-- a < b --><![CDATA[<<]]><?pi <?></a>"));
  EXPECT_TRUE(takesWhole("\xEF\xBB\xBF<p:sld xmlns:p=\"u\"><p:x>\xE2\x82\xAC</p:x></p:sld>"));
  EXPECT_TRUE(takesWhole("<a b=\"x>y\">z</a >", false, 1));
  // Broken rules.
  for (const char* tail : {"<b <c>", "<b x=\"<\">", "&;", "& x", "</b>", "<b></c>", "<b/ >", "<<", "<b;>", "x\x01y",
                           "<![CDATX[", "<!-x"}) {
    EXPECT_FALSE(takesWhole(head + tail)) << tail;
  }
  // Texts that are not XML in UTF-8, or that declare a document type, are not judged.
  EXPECT_TRUE(takesWhole("\xFF\xFE<\0a\0", false));
  EXPECT_TRUE(takesWhole("<!DOCTYPE a [<!ENTITY e \"<\">]><a>&e;</a><<"));
  MarkupCheck binary;
  const std::uint8_t png[] = {0x89, 'P', 'N', 'G', 0, 1};
  EXPECT_TRUE(binary.take(png));
  EXPECT_FALSE(binary.judging());
}

TEST(MarkupCheck, WorksheetCellsComeInOrderWithWellFormedReferences) {
  const std::string sheet = "<worksheet><sheetData><row r=\"1\">";
  auto cells = [&](const std::string& refs) { return sheet + refs; };
  EXPECT_TRUE(takesWhole(cells("<c r=\"A1\"/><c r=\"Z1\" s=\"2\"><v>1</v></c><c r=\"AA1\"/></row><row r=\"2\"><c r=\"B2\"/>"), true));
  EXPECT_TRUE(takesWhole(cells("<x:c r=\"XFD1048576\"/>"), true));
  // Other elements' r attributes, and other parts, are free.
  EXPECT_TRUE(takesWhole(cells("<c r=\"B1\"/><c r=\"A1\"/>"), false));
  EXPECT_TRUE(takesWhole(cells("<row r=\"x\"><f r=\"zz\"/>"), true));
  for (const char* bad : {"<c r=\"LKV1E\"/>", "<c r=\"NKJAE\"/>", "<c r=\"ABCD1\"/>", "<c r=\"A0\"/>", "<c r=\"1\"/>",
                          "<c r=\"B1\"/><c r=\"A1\"/>", "<c r=\"B1\"/><c r=\"B1\"/>", "<c r=\"A2\"/><c r=\"Z1\"/>"}) {
    EXPECT_FALSE(takesWhole(cells(bad), true)) << bad;
  }
}

// A check that goes back to a state saved before another path was taken gets that path's
// bytes back: the package it completes is the real one.
TEST(ZipFragmentCheck, ReturnsToAStateSavedOnAnotherPath) {
  const std::string xml = "<?xml version=\"1.0\"?><a>" + std::string(9000, 'x') + "</a>";
  const Bytes8 package = test::makeZip({{"[Content_Types].xml", xml}, {"word/document.xml", xml}});
  const auto cluster = [&](std::size_t i) {
    const std::size_t at = i * 4096;
    return Bytes(package.data() + at, std::min<std::size_t>(4096, package.size() - at));
  };
  const Bytes8 junk(4096, 'y');
  zip::ZipFragmentCheck check(1 << 24);
  ASSERT_EQ(check.take(cluster(0)), FragmentVerdict::Consistent);
  check.save(7);
  // A wrong path, saved too: its bytes replace the right ones in the file assembled.
  ASSERT_EQ(check.take(junk), FragmentVerdict::Consistent);
  check.save(3);
  ASSERT_EQ(check.take(junk), FragmentVerdict::Broken);
  check.load(7);
  FragmentVerdict v = FragmentVerdict::Consistent;
  for (std::size_t i = 1; v == FragmentVerdict::Consistent; ++i) {
    v = check.take(cluster(i));
    if (i == 1) check.save(5);
  }
  ASSERT_EQ(v, FragmentVerdict::Complete);
  EXPECT_TRUE(std::equal(package.begin(), package.end(), check.package().begin(), check.package().end()));
  // Back to the wrong path and again to the right one: each gets its own bytes.
  check.load(3);
  EXPECT_EQ(Bytes8(check.assembled().begin() + 4096, check.assembled().end()), junk);
  check.load(5);
  EXPECT_TRUE(std::equal(check.assembled().begin(), check.assembled().end(), package.begin()));
}

}  // namespace
}  // namespace vellumark
