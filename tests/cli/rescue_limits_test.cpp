// The rescue within limits: memory bounded by the range on a huge source, a big document
// held once, and SIGTERM / SIGHUP ending a run as Ctrl-C does.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include "support/carve_setup.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;
using test::TempDir;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

using test::quoted;

// A stored package of about `bytes` that the rescue recognises as a Word document.
std::vector<std::uint8_t> bigPackage(std::size_t bytes) {
  ImageBuilder noise(bytes / 512 + 1);
  noise.fillRandom(0, noise.bytes().size(), 3);
  const std::string media(noise.bytes().begin(), noise.bytes().end());
  return test::makeZip({{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", "<w/>"}, {"word/media/big.bin", media}});
}

int rescueUnderLimit(std::size_t kib, const fs::path& image, const fs::path& out, const std::string& extra,
                     std::string* output = nullptr) {
  const std::string command = "ulimit -v " + std::to_string(kib) + "; " + quoted(test::cliPath()) + " rescue " +
                              quoted(image) + " -o " + quoted(out) + " -q --force " + extra + " 2>&1";
  int status = -1;
  const std::string text = test::commandOutput(command, &status);
  if (output) *output = text;
  return status;
}

std::size_t filesIn(const fs::path& folder) {
  std::size_t n = 0;
  for (const auto& e : fs::directory_iterator(folder)) n += !test::isRescueRecord(e.path());
  return n;
}

TEST(RescueLimits, ARangeAtTheEndOf16TiBNeedsLittleMemory) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
  TempDir dir;
  const fs::path image = dir / "huge.img";
  constexpr std::uint64_t kSectors = std::uint64_t{1} << 35;  // 16 TiB of 512-byte sectors
  const auto doc = test::makeZip({{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", "<w>range</w>"}});
  {
    const int fd = ::open(image.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::uint64_t size = kSectors * 512;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      size -= 1 << 20;  // ext4 stops just short of 16 TiB
      if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        GTEST_SKIP() << "the temp file system refuses a sparse file of 16 TiB";
      }
    }
    const std::uint64_t docAt = size - 600 * 512;
    const bool written = ::pwrite(fd, doc.data(), doc.size(), static_cast<off_t>(docAt)) == static_cast<ssize_t>(doc.size());
    ::close(fd);
    ASSERT_TRUE(written);
  }
  const std::int64_t last = static_cast<std::int64_t>(fs::file_size(image) / 512) - 1;
  fs::create_directory(dir / "out");
  std::string output;
  EXPECT_EQ(rescueUnderLimit(200'000, image, dir / "out",
                             "--range " + std::to_string(last - 999) + "-" + std::to_string(last), &output),
            0)
      << output;
  EXPECT_EQ(filesIn(dir / "out"), 1u) << output;
}

TEST(RescueLimits, ABigDocumentIsHeldOnceAndReportedWhenItCannotBe) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
  TempDir dir;
  const auto doc = bigPackage(60u << 20);
  ImageBuilder image(2048 + doc.size() / 512 + 2048);
  image.putBytes(1 << 20, doc);
  image.writeTo(dir / "big.img");
  fs::create_directory(dir / "out");
  std::string output;
  // Two copies of 60 MiB cannot fit in 100 MB of address space; one can.
  EXPECT_EQ(rescueUnderLimit(100'000, dir / "big.img", dir / "out", "", &output), 0) << output;
  ASSERT_EQ(filesIn(dir / "out"), 1u) << output;
  for (const auto& e : fs::directory_iterator(dir / "out"))
    if (!test::isRescueRecord(e.path())) {
      EXPECT_EQ(test::readFileBytes(e.path()), doc);
    }

  fs::remove_all(dir / "out");
  fs::create_directory(dir / "out");
  EXPECT_EQ(rescueUnderLimit(50'000, dir / "big.img", dir / "out", "", &output), 1) << output;
  EXPECT_NE(output.find("not enough memory to assemble the document at sector 2048, "), std::string::npos) << output;
  EXPECT_EQ(filesIn(dir / "out"), 0u);
}

TEST(RescueSignals, TermAndHangUpEndTheRunAndLeaveNoTemporaryFile) {
  TempDir dir;
  // Many small documents, so that a save is under way most of the time.
  const auto doc = test::makeZip({{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", std::string(9000, 'w')}});
  constexpr std::uint64_t kDocs = 3000;
  constexpr std::uint64_t kStride = 24;  // sectors per document slot
  ImageBuilder image(kDocs * kStride + 64);
  for (std::uint64_t i = 0; i < kDocs; ++i) image.putBytes((16 + i * kStride) * 512, doc);
  image.writeTo(dir / "many.img");
  for (const auto& [signal, name] : {std::pair{15, "TERM"}, std::pair{1, "HUP"}}) {
    const fs::path out = dir / ("out-" + std::string(name));
    fs::create_directory(out);
    const std::string command = quoted(test::cliPath()) + " rescue " + quoted(dir / "many.img") + " -o " + quoted(out) +
                                " -q >/dev/null 2>" + quoted(dir / "err.txt") + " & pid=$!; sleep 0.5; kill -" + name +
                                " $pid; wait $pid; echo $?";
    const fs::path script = dir / "run.sh";
    test::writeFileBytes(script, std::vector<std::uint8_t>(command.begin(), command.end()));
    int status = -1;
    const std::string exitCode = test::commandOutput("bash " + quoted(script), &status);
    ASSERT_EQ(status, 0);
    const std::string err = test::commandOutput("cat " + quoted(dir / "err.txt"));
    std::size_t hidden = 0;
    std::size_t saved = 0;
    for (const auto& e : fs::directory_iterator(out)) {
      const std::string file = e.path().filename().string();
      if (file.starts_with(".")) ++hidden;
      else if (fs::file_size(e.path()) == doc.size()) ++saved;
    }
    EXPECT_EQ(hidden, 0u) << name;
    if (saved == kDocs) continue;  // the machine finished before the signal came
    EXPECT_EQ(std::stoi(exitCode), 128 + signal) << name << ": " << err;
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace vellumark
