// report.xml: every recovered file with byte runs that, read back from the image, give its
// bytes exactly (a document assembled around another file has several); the JSON summary
// stays valid UTF-8 whatever bytes the paths hold.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include <nlohmann/json.hpp>

#include "support/file_system_images.h"
#include "support/image_builder.h"
#include "util/sha256.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;
using test::TempDir;

std::vector<std::uint8_t> corpusFile(const std::string& name) {
  return test::readFileBytes(fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / name);
}

// Noise, the first half of `outer`, the whole of `inner`, the rest of `outer`, noise: each
// piece on a 4 KiB boundary.
std::vector<std::uint8_t> documentAroundAnother(const std::vector<std::uint8_t>& outer, const std::vector<std::uint8_t>& inner) {
  constexpr std::size_t kCluster = 4096;
  auto clusters = [](std::size_t n) { return (n + kCluster - 1) / kCluster * kCluster; };
  const std::size_t firstPart = clusters(outer.size() / 2);
  const std::size_t total = 2 * kCluster + firstPart + clusters(inner.size()) + clusters(outer.size() - firstPart) + 2 * kCluster;
  test::ImageBuilder image(total / 512);
  image.fillRandom(0, total, 11);
  std::size_t at = 2 * kCluster;
  image.putBytes(at, std::span(outer).first(firstPart));
  at += firstPart;
  image.putBytes(at, inner);
  image.fill(at + inner.size(), clusters(inner.size()) - inner.size(), 0);
  at += clusters(inner.size());
  image.putBytes(at, std::span(outer).subspan(firstPart));
  image.fill(at + outer.size() - firstPart, clusters(outer.size() - firstPart) - (outer.size() - firstPart), 0);
  return image.bytes();
}

struct ReportedFile {
  std::string name;
  std::uint64_t size = 0;
  std::string sha256;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;  // img_offset, len
};

std::vector<ReportedFile> fileObjects(const std::string& xml) {
  std::vector<ReportedFile> files;
  const std::regex object(R"(<fileobject>([\s\S]*?)</fileobject>)");
  const std::regex run(R"re(<byte_run offset="[0-9]+" img_offset="([0-9]+)" len="([0-9]+)"/>)re");
  std::smatch m;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), object); it != std::sregex_iterator(); ++it) {
    const std::string body = (*it)[1].str();
    ReportedFile f;
    if (std::regex_search(body, m, std::regex("<filename>(.*)</filename>"))) f.name = m[1];
    if (std::regex_search(body, m, std::regex("<filesize>([0-9]+)</filesize>"))) f.size = std::stoull(m[1]);
    if (std::regex_search(body, m, std::regex(R"re(<hashdigest type="sha256">([0-9a-f]{64})</hashdigest>)re"))) f.sha256 = m[1];
    for (auto r = std::sregex_iterator(body.begin(), body.end(), run); r != std::sregex_iterator(); ++r)
      f.runs.emplace_back(std::stoull((*r)[1].str()), std::stoull((*r)[2].str()));
    files.push_back(std::move(f));
  }
  return files;
}

TEST(RescueReport, ByteRunsReadBackGiveEveryFileExactly) {
  TempDir dir;
  const auto outer = corpusFile("TestPackageCommon.docx");
  const auto inner = corpusFile("Bug51834.doc");
  const auto image = documentAroundAnother(outer, inner);
  test::writeFileBytes(dir / "cut.img", image);
  fs::create_directory(dir / "out");
  int status = -1;
  test::commandOutput(quoted(test::cliPath()) + " rescue -q --cluster 4K " + quoted(dir / "cut.img") + " -o " +
                          quoted(dir / "out") + " 2>&1",
                      &status);
  ASSERT_EQ(status, 0);
  const auto xmlBytes = test::readFileBytes(dir / "out" / "report.xml");
  const std::string xml(xmlBytes.begin(), xmlBytes.end());
  if (test::haveProgram("xmllint")) {
    EXPECT_EQ(test::runCommand("xmllint --noout " + quoted(dir / "out" / "report.xml")), 0);
  }
  for (const char* element : {"<source>", "<image_filename>", "<image_size>", "<sectorsize>512</sectorsize>", "<creator",
                              "<start_time>", "<command_line>", "<clocktime>", "vm:option name=\"types\""})
    EXPECT_NE(xml.find(element), std::string::npos) << element;

  const std::vector<ReportedFile> files = fileObjects(xml);
  ASSERT_EQ(files.size(), 2u) << xml;
  std::map<std::string, std::size_t> runsByContent;
  for (const ReportedFile& f : files) {
    SCOPED_TRACE(f.name);
    const auto written = test::readFileBytes(dir / "out" / f.name);
    std::vector<std::uint8_t> readBack;
    for (const auto& [offset, length] : f.runs) {
      ASSERT_LE(offset + length, image.size());
      readBack.insert(readBack.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                      image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
    EXPECT_EQ(readBack, written);
    EXPECT_EQ(f.size, written.size());
    EXPECT_EQ(f.sha256, sha256Hex(written));
    runsByContent[written == outer ? "outer" : written == inner ? "inner" : "other"] = f.runs.size();
  }
  EXPECT_EQ(runsByContent["outer"], 2u);
  EXPECT_EQ(runsByContent["inner"], 1u);

  // The log names why the noise gave no document; a heading comes first.
  const auto log = test::readFileBytes(dir / "out" / "rescue.log");
  EXPECT_TRUE(std::string(log.begin(), log.end()).starts_with("# vellumark-cli "));
}

TEST(RescueReport, JsonIsValidUtf8ForPathsInLatin1) {
  TempDir dir;
  const fs::path latin1 = dir / std::string("caf\xE9");  // "café" written by a Latin-1 system
  fs::create_directory(latin1);
  test::ImageBuilder image(256);
  image.putBytes(8 * 512, corpusFile("Bug51834.doc"));
  image.writeTo(latin1 / "disk.img");
  fs::create_directory(latin1 / "out");
  int status = -1;
  const std::string json = test::commandOutput(quoted(test::cliPath()) + " rescue -q --json " + quoted(latin1 / "disk.img") +
                                                   " -o " + quoted(latin1 / "out") + " 2>/dev/null",
                                               &status);
  ASSERT_EQ(status, 0);
  nlohmann::json parsed;
  ASSERT_NO_THROW(parsed = nlohmann::json::parse(json)) << json;  // the parser rejects invalid UTF-8
  const std::string source = parsed["source"];
  EXPECT_NE(source.find("caf\xC3\xA9/disk.img"), std::string::npos) << source;
  ASSERT_EQ(parsed["files"].size(), 1u);
  EXPECT_EQ(parsed["files"][0]["sha256"], sha256Hex(corpusFile("Bug51834.doc")));
  // The same bytes in report.xml are valid for an XML parser too.
  if (test::haveProgram("xmllint")) {
    EXPECT_EQ(test::runCommand("xmllint --noout " + quoted(latin1 / "out" / "report.xml")), 0);
  }
}

TEST(Sha256, KnownDigests) {
  const std::string abc = "abc";
  EXPECT_EQ(sha256Hex({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Lengths around the padding boundary, fed in uneven pieces.
  const std::vector<std::uint8_t> million(1'000'000, 'a');
  Sha256 pieces;
  for (std::size_t at = 0; at < million.size(); at += 777)
    pieces.update(std::span(million).subspan(at, std::min<std::size_t>(777, million.size() - at)));
  const auto digest = pieces.finish();
  EXPECT_EQ(digest[0], 0xcd);
  EXPECT_EQ(digest[31], 0xd0);  // cdc76e5c...c7112cd0
}

}  // namespace
}  // namespace vellumark
