#include <gtest/gtest.h>

#include <string>

#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;
using test::TempDir;

// 64 sectors: a compound document at 3, a PNG at 10, a FAT directory sector at 20, a PDF
// at 40; random data at 50..59; the rest zero.
class ClassifyCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ImageBuilder b(64);
    b.putBytes(3 * 512, std::vector<std::uint8_t>{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
    b.putBytes(10 * 512, std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    b.putText(20 * 512, "README  TXT").fill(20 * 512 + 11, 1, 0x20).putLe16(20 * 512 + 24, (20 << 9) | (1 << 5) | 1);
    b.putText(40 * 512, "%PDF-1.4\n");
    b.fillRandom(50 * 512, 10 * 512, 99);
    image_ = (dir_ / "disk.img").string();
    b.writeTo(image_);
  }

  std::string run(const std::string& args, int* status) {
    return test::commandOutput("'" + test::cliPath().string() + "' classify " + args, status);
  }

  TempDir dir_;
  std::string image_;
};

TEST_F(ClassifyCommand, ListsRecognisedSectorsThenCounts) {
  int status = -1;
  const std::string out = run("'" + image_ + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out,
            "3 5 ole2\n"
            "10 9 png\n"
            "20 100 fs-metadata\n"
            "40 22 pdf\n"
            "\n"
            "Sectors 0-63: 64 classified, 0 unreadable\n"
            "Code  Name            Sectors\n"
            "   5  ole2                  1\n"
            "   9  png                   1\n"
            "  22  pdf                   1\n"
            " 100  fs-metadata           1\n");
}

TEST_F(ClassifyCommand, QuietPrintsOnlyCounts) {
  int status = -1;
  const std::string out = run("'" + image_ + "' --quiet", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.find("3 5 ole2"), std::string::npos);
  EXPECT_EQ(out.rfind("Sectors 0-63: 64 classified, 0 unreadable\n", 0), 0u) << out;
  EXPECT_NE(out.find(" 100  fs-metadata           1\n"), std::string::npos);
}

TEST_F(ClassifyCommand, RangeLimitsTheSectors) {
  int status = -1;
  const std::string out = run("'" + image_ + "' --range 5-20", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.find("3 5 ole2"), std::string::npos);
  EXPECT_EQ(out.find("40 22"), std::string::npos);
  EXPECT_NE(out.find("10 9 png\n20 100 fs-metadata\n"), std::string::npos);
  EXPECT_NE(out.find("Sectors 5-20: 16 classified, 0 unreadable\n"), std::string::npos);

  const std::string last = run("'" + image_ + "' --range 63-63 --quiet", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(last.find("Sectors 63-63: 1 classified"), std::string::npos);
}

TEST_F(ClassifyCommand, Json) {
  int status = -1;
  const std::string out = run("'" + image_ + "' --json", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("{\"sector\":3,\"code\":5,\"name\":\"ole2\"}"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"sector\":20,\"code\":100,\"name\":\"fs-metadata\"}"), std::string::npos);
  EXPECT_NE(out.find("{\"code\":22,\"name\":\"pdf\",\"sectors\":1}"), std::string::npos);
  EXPECT_NE(out.find("\"classified\":64"), std::string::npos);
  EXPECT_NE(out.find("\"first\":0"), std::string::npos);
  EXPECT_NE(out.find("\"last\":63"), std::string::npos);

  const std::string quiet = run("'" + image_ + "' --json --quiet --range 0-9", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(quiet.find("\"sectors\":["), std::string::npos);
  EXPECT_NE(quiet.find("{\"code\":5,\"name\":\"ole2\",\"sectors\":1}"), std::string::npos);

  if (!test::haveProgram("python3")) GTEST_SKIP() << "python3 is not installed; JSON not validated";
  for (const std::string& args : {std::string(""), std::string(" --quiet"), std::string(" --range 41-49")}) {
    const std::string check = "'" + test::cliPath().string() + "' classify '" + image_ + "' --json" + args +
                              " | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d[\"classified\"])'";
    EXPECT_EQ(test::commandOutput(check, &status), args == " --range 41-49" ? "9\n" : "64\n") << args;
    EXPECT_EQ(status, 0) << args;
  }
}

TEST_F(ClassifyCommand, BadRangeIsRefused) {
  for (const char* range : {"5-3", "0-64", "abc", "-1-5", "7", "3-", "1-2-3", "99999999999999999999-1"}) {
    int status = -1;
    const std::string out = run("'" + image_ + "' --range '" + range + "' 2>&1", &status);
    EXPECT_EQ(status, 2) << range;
    EXPECT_EQ(out, "invalid sector range!\n") << range;
  }
}

TEST_F(ClassifyCommand, MissingSourceFails) {
  int status = -1;
  const std::string out = run("'" + (dir_ / "absent.img").string() + "' 2>&1", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("cannot open"), std::string::npos);
}

TEST_F(ClassifyCommand, PartialLastSectorIsLeftOut) {
  ImageBuilder b(2);
  b.putText(512, "%PDF-1.4");
  b.bytes().resize(2 * 512 + 100);
  const std::string odd = (dir_ / "odd.img").string();
  b.writeTo(odd);
  int status = -1;
  const std::string out = run("'" + odd + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("1 22 pdf\n"), std::string::npos);
  EXPECT_NE(out.find("Sectors 0-1: 2 classified"), std::string::npos);
}

}  // namespace
}  // namespace vellumark
