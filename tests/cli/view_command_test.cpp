#include <gtest/gtest.h>

#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::cliPath;
using test::commandOutput;

struct ViewCommandTest : ::testing::Test {
  test::TempDir dir;
  std::string image;
  void SetUp() override {
    test::ImageBuilder img(20);
    img.putText(512 * 3, "Hello, sector three");
    image = (dir / "small.img").string();
    img.writeTo(image);
  }
  std::string run(const std::string& args, int* status) {
    return commandOutput(cliPath().string() + " view " + args + " 2>&1", status);
  }
};

TEST_F(ViewCommandTest, DumpsTheSectorWithItsHeader) {
  int status = -1;
  std::string out = run(image + " 3", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out.substr(0, 117), "     0 1  2 3  4 5  6 7  8 9  A B  C D  E F  0 1  2 3  4 5  6 7  8 9  A B  C D  E F  0123456789ABCDEF0123456789ABCDEF");
  EXPECT_NE(out.find("000: 4865 6C6C 6F2C 2073 6563 746F 7220 7468 7265 6500 0000 0000 0000 0000 0000 0000 Hello, sector three............."), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 17);
}

TEST_F(ViewCommandTest, RefusesSectorsOutsideTheSource) {
  for (const char* bad : {"20", "-1", "abc", "3x", ""}) {
    int status = -1;
    std::string out = run(image + " '" + bad + "'", &status);
    EXPECT_EQ(status, 2) << bad;
    EXPECT_NE(out.find("Invalid sector range!"), std::string::npos) << bad;
  }
  int status = -1;
  run(image + " 19", &status);
  EXPECT_EQ(status, 0);
}

TEST_F(ViewCommandTest, MissingSourceIsAClearError) {
  int status = -1;
  std::string out = run((dir / "absent.img").string() + " 0", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace vellumark
