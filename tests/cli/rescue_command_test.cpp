#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "carvers/carver_registry.h"
#include "scan/type_codes.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::commandOutput;
using test::ImageBuilder;
using test::TempDir;

using test::quoted;

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `vellumark-cli rescue ARGS` with stdin from /dev/null (so nothing is ever asked).
CliRun rescue(const TempDir& dir, const std::string& args) {
  CliRun r;
  const fs::path errFile = dir / "stderr.txt";
  // --force: the cases below rescue into one folder again and again.
  r.out = commandOutput(quoted(test::cliPath()) + " rescue --force " + args + " </dev/null 2>" + quoted(errFile), &r.status);
  std::error_code ec;
  if (fs::exists(errFile, ec)) {
    auto bytes = test::readFileBytes(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    fs::remove(errFile, ec);
  }
  return r;
}

// The number after "key": in a JSON text; -1 when absent.
long long jsonNumber(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\": (-?[0-9]+)"))) return -1;
  return std::stoll(m[1]);
}

bool jsonFlag(const std::string& json, const std::string& key) {
  return json.find("\"" + key + "\": true") != std::string::npos;
}

class RescueCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ImageBuilder image(2048);
    image.fillRandom(0, 2048 * 512, 7);
    image.writeTo(dir / "random.img");
    fs::create_directory(dir / "out");
  }
  std::string img() const { return quoted(dir / "random.img"); }
  std::string out() const { return quoted(dir / "out"); }

  TempDir dir;
};

TEST_F(RescueCommandTest, RefusalsGiveTheirMessageAndStatus) {
  CliRun r = rescue(dir, img() + " -o " + quoted(dir / "missing"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Please select folder to save file!"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "missing"));  // never created

  test::writeFileBytes(dir / "plain-file", std::vector<std::uint8_t>{1});
  r = rescue(dir, img() + " -o " + quoted(dir / "plain-file"));
  EXPECT_EQ(r.status, 2);

  r = rescue(dir, img() + " -o " + out() + " --types ''");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Please select file type to rescue!"), std::string::npos) << r.err;

  r = rescue(dir, img() + " -o " + out() + " --types doc,pdf");
  EXPECT_EQ(r.status, 2);

  for (const char* range : {"0-2048", "10-5", "x-5", "7"}) {
    r = rescue(dir, img() + " -o " + out() + " --range " + range);
    EXPECT_EQ(r.status, 2) << range;
    EXPECT_NE(r.err.find("invalid sector range!"), std::string::npos) << range << ": " << r.err;
  }

  r = rescue(dir, img() + " -o " + out() + " --reason deleted");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Unknown file system, not support this option!"), std::string::npos) << r.err;

  for (const char* bad : {"--reason lost", "--fs ext4", "--cluster 3K", "--on-save-error maybe", "--free-space"}) {
    r = rescue(dir, img() + " -o " + out() + " " + bad);
    EXPECT_EQ(r.status, 2) << bad << ": " << r.err;
  }

  r = rescue(dir, quoted(dir / "no-such.img") + " -o " + out());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST_F(RescueCommandTest, SummaryLineAndJson) {
  CliRun r = rescue(dir, img() + " -o " + out());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("Rescued file 0\nTurned down: 0 document candidate(s)\nUnreadable sectors: 0\n"))
      << r.out;

  r = rescue(dir, img() + " -o " + out() + " --json --reason formatted --fs fat32 --cluster 4K");
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* key : {"recovered", "saveFailures", "sectorsExamined", "unreadableSectors", "candidates",
                          "documentCandidates"})
    EXPECT_GE(jsonNumber(r.out, key), 0) << key << "\n" << r.out;
  EXPECT_EQ(jsonNumber(r.out, "first"), 0);
  EXPECT_EQ(jsonNumber(r.out, "last"), 2047);
  EXPECT_NE(r.out.find("\"countsByType\": ["), std::string::npos);
  EXPECT_NE(r.out.find("\"files\": ["), std::string::npos);
  EXPECT_FALSE(jsonFlag(r.out, "cancelled"));
  EXPECT_FALSE(jsonFlag(r.out, "stopped"));
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
}

TEST_F(RescueCommandTest, RangeLimitsTheSearch) {
  CliRun r = rescue(dir, img() + " -o " + out() + " --json --range 100-299");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(jsonNumber(r.out, "first"), 100);
  EXPECT_EQ(jsonNumber(r.out, "last"), 299);
  EXPECT_EQ(jsonNumber(r.out, "sectorsExamined"), 200);
  // With a cluster size chosen and the offset unknown every sector is still examined.
  r = rescue(dir, img() + " -o " + out() + " --json --range 0-2047 --reason repartitioned --cluster 64K");
  EXPECT_EQ(jsonNumber(r.out, "sectorsExamined"), 2048);
}

TEST_F(RescueCommandTest, DocumentsInAnImageAreWrittenAndListed) {
  // Real documents laid out one after another on sector boundaries, between random data.
  ImageBuilder image(64);
  image.fillRandom(0, 64 * 512, 3);
  std::uint64_t sector = 64;
  int placed = 0;
  for (const auto& doc : test::corpusDocuments()) {
    if (doc.ext != "doc" && doc.ext != "xls" && doc.ext != "docx") continue;
    if (doc.hasNote("encrypted") || doc.size > 200'000 || placed == 4) continue;
    const auto bytes = test::readFileBytes(doc.path);
    image.putBytes(sector * 512, bytes);
    sector += (bytes.size() + 511) / 512 + 16;
    image.fillRandom(sector * 512 - 16 * 512, 16 * 512, static_cast<std::uint32_t>(sector));
    ++placed;
  }
  ASSERT_GT(placed, 0);
  image.writeTo(dir / "docs.img");

  CliRun r = rescue(dir, quoted(dir / "docs.img") + " -o " + out() + " --json");
  ASSERT_EQ(r.status, 0) << r.err;
  const long long recovered = jsonNumber(r.out, "recovered");
  ASSERT_GE(recovered, 0);
  EXPECT_GT(jsonNumber(r.out, "documentCandidates"), 0) << r.out;
  // Once the document carvers are in, recognised documents yield files.
  if (mainPassCarver(kTypeOle2) != nullptr && mainPassCarver(kTypeOoxml) != nullptr) {
    EXPECT_GT(recovered, 0) << r.out;
  }
  // Every file listed exists with its size, and nothing else (no temporary leftovers) is there.
  std::size_t listed = 0;
  const std::regex file(R"re("path": "([^"]+)",\s+"size": ([0-9]+))re");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), file); it != std::sregex_iterator(); ++it) {
    const fs::path path = (*it)[1].str();
    ASSERT_TRUE(fs::exists(path)) << path;
    EXPECT_EQ(fs::file_size(path), std::stoull((*it)[2].str()));
    ++listed;
  }
  EXPECT_EQ(static_cast<long long>(listed), recovered);
  std::size_t present = 0;
  for (const auto& e : fs::directory_iterator(dir / "out")) present += !test::isRescueRecord(e.path());
  EXPECT_EQ(present, listed);
}

// A large sparse image reads as zeros for long enough to interrupt it.
TEST_F(RescueCommandTest, CtrlCCancelsTheSearchAndTwiceQuits) {
  {
    std::FILE* f = std::fopen((dir / "big.img").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    fs::resize_file(dir / "big.img", 64ull << 30);
  }
  const std::string cmd = quoted(test::cliPath()) + " rescue --force " + quoted(dir / "big.img") + " -o " + out() +
                          " --json --quiet </dev/null 2>/dev/null";
  int status = -1;
  std::string json = commandOutput("(" + cmd + " & p=$!; sleep 0.5; kill -INT $p; wait $p; echo status=$?)", &status);
  EXPECT_NE(json.find("status=130"), std::string::npos) << json;
  EXPECT_TRUE(jsonFlag(json, "cancelled")) << json;
  EXPECT_TRUE(jsonFlag(json, "interrupted")) << json;
  EXPECT_LT(jsonNumber(json, "sectorsExamined"), static_cast<long long>((64ull << 30) / 512));

  // A second press quits at once, without a summary. The two presses must not arrive so
  // close that they merge, nor so far apart that the cancelled scan has already finished:
  // a few tries make that certain enough.
  bool quitAtOnce = false;
  for (int attempt = 0; attempt < 4 && !quitAtOnce; ++attempt) {
    json = commandOutput("(" + cmd + " & p=$!; sleep 0.5; kill -INT $p; sleep 0.02; kill -INT $p; wait $p; echo status=$?)",
                         &status);
    EXPECT_NE(json.find("status=130"), std::string::npos) << json;
    quitAtOnce = json.find("\"recovered\"") == std::string::npos;
  }
  EXPECT_TRUE(quitAtOnce);
}

}  // namespace
}  // namespace vellumark
