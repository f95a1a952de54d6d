// What a user meets before any scan: one-line errors with their exit status, the refusal to
// mix two rescues in one folder, --version and the spellings of --types.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;
using test::TempDir;

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

CliRun cli(const TempDir& dir, const std::string& args) {
  CliRun r;
  const fs::path errFile = dir / "stderr.txt";
  r.out = test::commandOutput(quoted(test::cliPath()) + " " + args + " </dev/null 2>" + quoted(errFile), &r.status);
  const auto bytes = test::readFileBytes(errFile);
  r.err.assign(bytes.begin(), bytes.end());
  return r;
}

class CliConventions : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ImageBuilder image(2048);
    image.fillRandom(0, 2048 * 512, 3);
    image.writeTo(dir / "noise.img");
    fs::create_directory(dir / "out");
  }
  std::string rescue(const std::string& args) const { return "rescue " + quoted(dir / "noise.img") + " " + args; }
  // Exactly one line on stderr, prefixed with the program's name and holding `text`.
  static void expectOneLine(const CliRun& r, int status, const std::string& text) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_TRUE(r.err.starts_with("vellumark-cli: ")) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  }

  TempDir dir;
};

TEST_F(CliConventions, EveryCheckBeforeTheScanIsOneLineWithItsStatus) {
  const std::string out = " -o " + quoted(dir / "out");
  expectOneLine(cli(dir, rescue("-o " + quoted(dir / "missing"))), 2,
                "Please select folder to save file! " + (dir / "missing").string() + " does not exist: create it");
  test::writeFileBytes(dir / "file", std::vector<std::uint8_t>{1});
  expectOneLine(cli(dir, rescue("-o " + quoted(dir / "file"))), 2, "is not a folder");
  if (fs::is_directory("/sys/kernel")) expectOneLine(cli(dir, rescue("-o /sys/kernel")), 1, "cannot write into /sys/kernel");
  expectOneLine(cli(dir, rescue(out + " --range 5-999999999")), 2,
                "sector 999999999 is past the last sector 2047 of " + (dir / "noise.img").string());
  expectOneLine(cli(dir, rescue(out + " --range 30-20")), 2, "starts at 30, after its end 20");
  expectOneLine(cli(dir, rescue(out + " --range ten")), 2, "give the range as FIRST-LAST");
  expectOneLine(cli(dir, rescue(out + " --types pdf")), 2, "unknown --types 'pdf'");
  expectOneLine(cli(dir, "rescue " + quoted(dir / "absent.img") + out), 1, "cannot open " + (dir / "absent.img").string());
  expectOneLine(cli(dir, "frobnicate x"), 2, "unknown command 'frobnicate'");
  expectOneLine(cli(dir, rescue(out + " --no-such-option")), 2, "--no-such-option");
  // Nothing was written by any of them.
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST_F(CliConventions, ARescueNeverMixesWithAnEarlierOne) {
  const std::string out = " -q -o " + quoted(dir / "out");
  ASSERT_EQ(cli(dir, rescue(out)).status, 0);
  ASSERT_TRUE(fs::exists(dir / "out" / "report.xml"));
  const auto firstReport = test::readFileBytes(dir / "out" / "report.xml");

  expectOneLine(cli(dir, rescue(out)), 2, "already holds files of an earlier rescue: give --new-folder");
  expectOneLine(cli(dir, rescue(out + " --force --new-folder")), 2, "exclude each other");

  // --force adds to the folder and replaces nothing.
  ASSERT_EQ(cli(dir, rescue(out + " --force")).status, 0);
  EXPECT_EQ(test::readFileBytes(dir / "out" / "report.xml"), firstReport);
  EXPECT_TRUE(fs::exists(dir / "out" / "report-2.xml"));
  EXPECT_TRUE(fs::exists(dir / "out" / "rescue-2.log"));

  // --new-folder makes rescue.1, then rescue.2.
  for (const char* folder : {"rescue.1", "rescue.2"}) {
    const CliRun r = cli(dir, rescue(out + " --new-folder"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "out" / folder / "report.xml")) << folder;
    EXPECT_NE(r.out.find((dir / "out" / folder).string()), std::string::npos) << r.out;
  }
}

TEST_F(CliConventions, VersionHelpAndTypeSpellings) {
  const CliRun version = cli(dir, "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("vellumark-cli ")) << version.out;
  EXPECT_EQ(cli(dir, "version").out, version.out);
  const CliRun help = cli(dir, "-h");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Exit status: 0"), std::string::npos) << help.out;

  for (const char* types : {"doc,xls,ppt", "docx,xlsx,pptx", "DOC,XLS", "Docx", "ppt, xlsx"}) {
    const CliRun r = cli(dir, rescue("-q --force --json -o " + quoted(dir / "out") + " --types " + quoted(types)));
    EXPECT_EQ(r.status, 0) << types << ": " << r.err;
  }
}

// Wrappers read --progress=json line by line: every line one object, each pass counting up to
// its total, and a last line that says the run is done.
TEST_F(CliConventions, JsonProgressIsOneObjectALine) {
  const CliRun r = cli(dir, rescue("--force --json --progress=json -o " + quoted(dir / "out")));
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.err);
  std::string line, lastPhase;
  double lastPercent = -1;
  int objects = 0;
  while (std::getline(in, line)) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << line;
    ++objects;
    const std::string phase = j["phase"];
    const double percent = j["percent"];
    EXPECT_LE(j["done"].get<std::int64_t>(), j["total"].get<std::int64_t>()) << line;
    if (phase == lastPhase) {
      EXPECT_GE(percent, lastPercent) << line;
    }
    lastPhase = phase;
    lastPercent = percent;
  }
  EXPECT_GE(objects, 1);
  EXPECT_EQ(lastPhase, "done");
  EXPECT_TRUE(nlohmann::json::parse(r.out, nullptr, false).is_object()) << r.out;

  const CliRun quiet = cli(dir, rescue("--force --json --progress=none -o " + quoted(dir / "out")));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

}  // namespace
}  // namespace vellumark
