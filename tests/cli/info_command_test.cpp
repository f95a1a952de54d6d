// vellumark-cli info: text and JSON reports, and a clear failure for an unusable source.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;
using test::TempDir;

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

std::string runInfo(const std::string& args, int* status, const std::filesystem::path& stderrFile) {
  return test::commandOutput(quoted(test::cliPath()) + " info " + args + " 2>" + quoted(stderrFile), status);
}

// An exFAT boot sector: 512-byte sectors, 8 sectors per cluster, cluster heap at sector 2053.
void writeExfatImage(const std::filesystem::path& path) {
  ImageBuilder b(4096);
  b.putText(3, "EXFAT   ").putLe32(88, 2053).putBytes(108, std::vector<std::uint8_t>{9, 3}).putLe16(510, 0xAA55);
  b.fill(4096 * 512, 300, 0);  // a partial sector at the end
  b.writeTo(path);
}

TEST(InfoCommand, TextReport) {
  TempDir dir;
  writeExfatImage(dir / "card.img");
  int status = -1;
  std::string out = runInfo(quoted(dir / "card.img"), &status, dir / "err.txt");
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("image file"), std::string::npos) << out;
  EXPECT_NE(out.find(std::to_string(4096 * 512 + 300) + " bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("Sector size:         512 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("Last sector:         4095\n"), std::string::npos) << out;
  EXPECT_NE(out.find("File system:         exFAT\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Sectors per cluster: 8\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Cluster offset:      5\n"), std::string::npos) << out;  // 2053 mod 8
  EXPECT_TRUE(test::readFileBytes(dir / "err.txt").empty());
}

TEST(InfoCommand, JsonReport) {
  TempDir dir;
  const auto image = dir / "card \"one\".img";  // a name JSON must escape
  writeExfatImage(image);
  int status = -1;
  std::string out = runInfo("--json " + quoted(image), &status, dir / "err.txt");
  ASSERT_EQ(status, 0) << out;
  std::string escapedPath = image.string();
  escapedPath.replace(escapedPath.find("\"one\""), 5, "\\\"one\\\"");
  const std::string expected = "{\"source\":\"" + escapedPath +
                               "\",\"kind\":\"image file\",\"sizeBytes\":2097452,\"bytesPerSector\":512,"
                               "\"lastSector\":4095,\"fileSystem\":\"exFAT\",\"recognised\":true,"
                               "\"sectorsPerCluster\":8,\"clusterOffset\":5}\n";
  EXPECT_EQ(out, expected);
}

TEST(InfoCommand, UnrecognisedImageReportsUnknownAlignment) {
  TempDir dir;
  ImageBuilder(100).fillRandom(0, 100 * 512, 7).writeTo(dir / "noise.img");
  int status = -1;
  std::string text = runInfo(quoted(dir / "noise.img"), &status, dir / "err.txt");
  ASSERT_EQ(status, 0);
  EXPECT_NE(text.find("not recognised"), std::string::npos) << text;
  EXPECT_NE(text.find("Cluster offset:      -1 (unknown)"), std::string::npos) << text;
  std::string json = runInfo("--json " + quoted(dir / "noise.img"), &status, dir / "err.txt");
  ASSERT_EQ(status, 0);
  EXPECT_NE(json.find("\"fileSystem\":\"OTHER\",\"recognised\":false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"clusterOffset\":-1}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"lastSector\":99,"), std::string::npos) << json;
}

TEST(InfoCommand, MissingSourceFailsWithOneLineOnStderr) {
  TempDir dir;
  const auto missing = dir / "gone.img";
  for (std::string flags : {"", "--json "}) {
    int status = 0;
    std::string out = runInfo(flags + quoted(missing), &status, dir / "err.txt");
    EXPECT_NE(status, 0);
    EXPECT_TRUE(out.empty()) << out;
    auto errBytes = test::readFileBytes(dir / "err.txt");
    std::string err(errBytes.begin(), errBytes.end());
    EXPECT_NE(err.find(missing.string()), std::string::npos) << err;
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(InfoCommand, SourceArgumentIsRequired) {
  TempDir dir;
  int status = 0;
  runInfo("", &status, dir / "err.txt");
  EXPECT_NE(status, 0);
}

}  // namespace
}  // namespace vellumark
