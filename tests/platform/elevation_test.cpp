// The relaunch through pkexec: the command that carries the display over, and the choice
// between running an installed program directly (its polkit action applies) and "env".

#include "platform/elevation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vellumark::platform {
namespace {

TEST(Elevation, PkexecCommandCarriesTheDisplayOrRunsTheInstalledProgram) {
  ::setenv("DISPLAY", ":7", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("VELLUMARK_LANG", "zh_TW", 1);
  const auto viaEnv = pkexecCommand("/usr/bin/pkexec", "/opt/v/vellumark", {"/dev/sdb", "X"}, false);
  ASSERT_GE(viaEnv.size(), 6u);
  EXPECT_EQ(viaEnv[0], "/usr/bin/pkexec");
  EXPECT_EQ(viaEnv[1], "env");
  EXPECT_NE(std::find(viaEnv.begin(), viaEnv.end(), "DISPLAY=:7"), viaEnv.end());
  EXPECT_NE(std::find(viaEnv.begin(), viaEnv.end(), "VELLUMARK_LANG=zh_TW"), viaEnv.end());
  for (const std::string& word : viaEnv) EXPECT_NE(word.rfind("WAYLAND_DISPLAY=", 0), 0u) << "unset variables stay out";
  EXPECT_EQ(viaEnv[viaEnv.size() - 3], "/opt/v/vellumark");
  EXPECT_EQ(viaEnv.back(), "X");

  const auto direct = pkexecCommand("/usr/bin/pkexec", "/usr/bin/vellumark", {}, true);
  EXPECT_EQ(direct, (std::vector<std::string>{"/usr/bin/pkexec", "/usr/bin/vellumark"}));
  ::unsetenv("VELLUMARK_LANG");
}

TEST(Elevation, PolicyIsFoundOnlyBesideAnInstalledProgram) {
  const std::filesystem::path root = std::filesystem::path(::testing::TempDir()) / "elevation_prefix";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root / "bin");
  std::filesystem::create_directories(root / "share/polkit-1/actions");
  const std::string program = (root / "bin/vellumark").string();
  EXPECT_FALSE(polkitPolicyInstalled(program, "org.vellumark.Vellumark.policy"));
  std::ofstream(root / "share/polkit-1/actions/org.vellumark.Vellumark.policy") << "<policyconfig/>";
  EXPECT_TRUE(polkitPolicyInstalled(program, "org.vellumark.Vellumark.policy"));
  EXPECT_FALSE(polkitPolicyInstalled((root / "vellumark").string(), "org.vellumark.Vellumark.policy"));
  std::filesystem::remove_all(root);
}

TEST(Elevation, ReplacingTheProcessByAMissingProgramReportsTheError) {
  const OsError e = replaceProcess({"/nonexistent/pkexec", "x"});
  EXPECT_EQ(e.code, ENOENT);
}

}  // namespace
}  // namespace vellumark::platform
