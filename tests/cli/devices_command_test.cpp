// vellumark-cli devices: the lists of the fake machine under tests/data/devices.

#include <gtest/gtest.h>

#include "support/image_builder.h"

namespace vellumark {
namespace {

TEST(DevicesCommand, ListsTheFakeMachine) {
  const std::string tree = std::string(VELLUMARK_TEST_DATA_DIR) + "/devices";
  const std::string base = "'" + test::cliPath().string() + "' devices --sys '" + tree + "/sys' --mountinfo '" + tree +
                           "/mountinfo' --udev-data '" + tree + "/udev'";
  int status = -1;
  const std::string text = test::commandOutput(base, &status);
  ASSERT_EQ(status, 0) << text;
  EXPECT_NE(text.find("/dev/sda  HD0 ATA Samsung SSD 860 (931.51GB)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/sdb  [STICK]  vfat  .49GB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/sda1  [EFI]  vfat  .50GB  on /boot/efi\n"), std::string::npos) << text;

  const std::string json = test::commandOutput(base + " --json", &status);
  ASSERT_EQ(status, 0) << json;
  EXPECT_NE(json.find("{\"path\":\"/dev/sdb\",\"text\":\"RM1 SanDisk Cruzer Blade (.49GB)\",\"kind\":\"RM\","
                      "\"vendor\":\"SanDisk\",\"product\":\"Cruzer Blade\",\"sizeBytes\":524288000,\"size\":\".49GB\","
                      "\"sectorSize\":512}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"mountPoint\":\"/mnt/disk image\""), std::string::npos) << json;
  EXPECT_EQ(json.find("/mnt/nas"), std::string::npos) << json;
}

}  // namespace
}  // namespace vellumark
