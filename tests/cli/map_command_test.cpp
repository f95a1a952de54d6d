#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::quoted;

struct MapCommandTest : ::testing::Test {
  test::TempDir dir;
  std::filesystem::path image = dir / "fat16.img";

  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "blkls"})
      if (!test::haveProgram(tool)) GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh installs it)";
    ASSERT_TRUE(test::makeFileSystem(image, 16 * 1024, "mkfs.vfat -F 16 -s 2"));
    int n = 0;
    for (const test::CorpusDocument& doc : test::corpusDocuments()) {
      if (n == 10) break;
      ASSERT_TRUE(test::fatCopyIn(image, doc.path, "D" + std::to_string(n++) + "." + doc.ext));
    }
    ASSERT_TRUE(test::fatDelete(image, "D3.*"));
    ASSERT_TRUE(test::fatDelete(image, "D7.*"));
  }

  std::string run(const std::string& args, int* status, bool withStderr = false) {
    return test::commandOutput(test::cliPath().string() + " map " + args + (withStderr ? " 2>&1" : " 2>/dev/null"),
                               status);
  }
};

struct Totals {
  std::int64_t allocated = -1, free = -1, total = -1;
};

Totals parseTotals(const std::string& line) {
  std::smatch m;
  Totals t;
  if (std::regex_match(line, m, std::regex(R"(allocated (\d+), free (\d+), total (\d+) sectors)"))) {
    t.allocated = std::stoll(m[1]);
    t.free = std::stoll(m[2]);
    t.total = std::stoll(m[3]);
  }
  return t;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

TEST_F(MapCommandTest, ListsAllocatedRunsAsTheFileSystemSeesThemThenTotals) {
  int status = -1;
  const std::vector<std::string> out = lines(run(quoted(image), &status));
  ASSERT_EQ(status, 0);
  ASSERT_GE(out.size(), 3u);

  // Rebuild the map from the runs: ascending, inclusive, never touching each other.
  auto tsk = test::tskBlockAllocation(image);
  ASSERT_TRUE(tsk);
  std::vector<bool> fromRuns(tsk->size(), false);
  std::int64_t previousLast = -2;
  std::int64_t sum = 0;
  for (std::size_t i = 0; i + 1 < out.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[i], m, std::regex(R"((\d+)-(\d+))"))) << out[i];
    const std::int64_t first = std::stoll(m[1]), last = std::stoll(m[2]);
    ASSERT_LE(first, last) << out[i];
    ASSERT_GT(first, previousLast + 1) << "runs out of order or adjacent: " << out[i];
    ASSERT_LT(last, static_cast<std::int64_t>(fromRuns.size()));
    for (std::int64_t s = first; s <= last; ++s) fromRuns[static_cast<std::size_t>(s)] = true;
    previousLast = last;
    sum += last - first + 1;
  }
  EXPECT_TRUE(fromRuns == *tsk) << "runs differ from blkls";
  EXPECT_EQ(out.front().substr(0, 2), "0-");  // boot sector, FATs and root directory

  const Totals t = parseTotals(out.back());
  EXPECT_EQ(t.allocated, sum);
  EXPECT_EQ(t.total, 16 * 1024 * 2);
  EXPECT_EQ(t.allocated + t.free, t.total);
}

TEST_F(MapCommandTest, SummaryPrintsTheTotalsOnly) {
  int status = -1;
  const std::string full = run(quoted(image), &status);
  ASSERT_EQ(status, 0);
  const std::vector<std::string> out = lines(run("--summary " + quoted(image), &status));
  ASSERT_EQ(status, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], lines(full).back());
  EXPECT_GT(parseTotals(out[0]).free, 0);
}

TEST_F(MapCommandTest, JsonGivesTheSameRunsAndTotalsAsText) {
  int status = -1;
  const std::vector<std::string> text = lines(run(quoted(image), &status));
  ASSERT_EQ(status, 0);
  const nlohmann::json j = nlohmann::json::parse(run("--json " + quoted(image), &status), nullptr, false);
  ASSERT_EQ(status, 0);
  ASSERT_FALSE(j.is_discarded());
  EXPECT_EQ(j["fileSystem"], "FAT16");
  EXPECT_EQ(j["bytesPerSector"], 512);
  const Totals t = parseTotals(text.back());
  EXPECT_EQ(j["allocated"], t.allocated);
  EXPECT_EQ(j["free"], t.free);
  EXPECT_EQ(j["total"], t.total);
  ASSERT_EQ(j["runs"].size() + 1, text.size());
  for (std::size_t i = 0; i < j["runs"].size(); ++i) {
    const auto& r = j["runs"][i];
    EXPECT_EQ(std::to_string(r[0].get<std::int64_t>()) + "-" + std::to_string(r[1].get<std::int64_t>()), text[i]);
  }
  const nlohmann::json summary = nlohmann::json::parse(run("--json --summary " + quoted(image), &status), nullptr, false);
  ASSERT_FALSE(summary.is_discarded());
  EXPECT_FALSE(summary.contains("runs"));
  EXPECT_EQ(summary["allocated"], t.allocated);
}

TEST_F(MapCommandTest, UnreadableFileSystemsAreAClearErrorWithExitOne) {
  int status = -1;
  // Not a file system at all.
  const auto blank = dir / "blank.img";
  test::ImageBuilder(2048).writeTo(blank);
  std::string out = run(quoted(blank), &status, true);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("not recognised"), std::string::npos) << out;

  // A FAT16 volume marked dirty (clean-shutdown bit of FAT entry 1 cleared).
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  const auto boot = test::readFileBytes(image);
  const std::uint64_t fat = (boot[14] | (boot[15] << 8)) * 512ull;
  f.seekp(static_cast<std::streamoff>(fat + 3));
  f.put(static_cast<char>(0x7F));
  f.close();
  out = run(quoted(image), &status, true);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("dirty"), std::string::npos) << out;
  EXPECT_EQ(out.find("allocated "), std::string::npos) << "no totals after an error";

  out = run(quoted(dir / "missing.img"), &status, true);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("cannot open"), std::string::npos) << out;
}

}  // namespace
}  // namespace vellumark
