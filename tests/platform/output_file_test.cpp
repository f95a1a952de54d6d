#include "platform/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/image_builder.h"

namespace vellumark::platform {
namespace {

namespace fs = std::filesystem;

std::size_t filesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(OutputFile, NothingStandsUnderTheFinalNameUntilCommitted) {
  test::TempDir dir;
  const std::string final = (dir / "TEST_AAAAAAAA.DOC").string();
  auto pending = createPendingOutputFile(final);
  ASSERT_TRUE(pending.ok()) << pending.error().message();
  const std::vector<std::uint8_t> data(3000, 0x5A);
  ASSERT_TRUE(pending->write(data).ok());
  EXPECT_FALSE(fs::exists(final));
  EXPECT_TRUE(fs::exists(pending->temporaryPath()));
  ASSERT_TRUE(pending->commitAs(final).ok());
  EXPECT_EQ(test::readFileBytes(final), data);
  EXPECT_EQ(filesIn(dir.path()), 1u);
}

TEST(OutputFile, DiscardedAndAbandonedFilesLeaveNothing) {
  test::TempDir dir;
  {
    auto pending = createPendingOutputFile((dir / "a.DOC").string());
    ASSERT_TRUE(pending.ok());
    ASSERT_TRUE(pending->write(std::vector<std::uint8_t>(10, 1)).ok());
  }  // never committed
  auto other = createPendingOutputFile((dir / "b.DOC").string());
  ASSERT_TRUE(other.ok());
  other->discard();
  EXPECT_EQ(filesIn(dir.path()), 0u);
}

TEST(OutputFile, InterruptCleanupRemovesOnlyTheUnfinishedFile) {
  test::TempDir dir;
  ASSERT_TRUE(writeWholeFile((dir / "done.DOC").string(), std::vector<std::uint8_t>(5, 2)).ok());
  removeUnfinishedOutputFile();  // nothing unfinished: the saved file stays
  EXPECT_TRUE(fs::exists(dir / "done.DOC"));

  auto pending = createPendingOutputFile((dir / "half.DOC").string());
  ASSERT_TRUE(pending.ok());
  ASSERT_TRUE(pending->write(std::vector<std::uint8_t>(100, 3)).ok());
  const std::string temp = pending->temporaryPath();
  removeUnfinishedOutputFile();
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_TRUE(fs::exists(dir / "done.DOC"));
  EXPECT_EQ(filesIn(dir.path()), 1u);
}

TEST(OutputFile, ReplacesAReadOnlyFileOfTheSameName) {
  test::TempDir dir;
  const fs::path final = dir / "TEST_AAAAAAAB.XLS";
  test::writeFileBytes(final, std::vector<std::uint8_t>(7, 9));
  fs::permissions(final, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  ASSERT_TRUE(writeWholeFile(final.string(), std::vector<std::uint8_t>(4, 1)).ok());
  EXPECT_EQ(test::readFileBytes(final), std::vector<std::uint8_t>(4, 1));
}

TEST(OutputFile, MissingFolderIsAnError) {
  test::TempDir dir;
  auto written = writeWholeFile((dir / "absent" / "x.DOC").string(), std::vector<std::uint8_t>(1, 0));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().code, ENOENT);
}

// A batch's files appear under their final names only at commit, none partly written; a
// file given another name keeps its first when that one is taken meanwhile; files of a batch
// never committed leave nothing behind.
TEST(OutputBatch, FilesTakeTheirNamesTogetherAtCommit) {
  test::TempDir dir;
  const std::vector<std::uint8_t> a(5000, 0x41), b(300, 0x42);
  const std::string first = (dir / "A.DOC").string(), second = (dir / "B.DOC").string();
  const std::string titled = (dir / "B_title.DOC").string();
  {
    OutputBatch batch;
    ASSERT_TRUE(batch.add(first, a));
    ASSERT_TRUE(batch.add(second, b));
    EXPECT_TRUE(batch.rename(second, titled));
    EXPECT_TRUE(batch.holds(titled));
    EXPECT_FALSE(batch.temporaryPathOf(titled).empty());
    EXPECT_FALSE(fs::exists(first));
    std::vector<std::uint8_t> taken{1, 2, 3};
    ASSERT_TRUE(writeWholeFile(titled, taken));  // appears before the commit
    const std::vector<OutputBatch::Outcome> outcomes = batch.commit();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_EQ(outcomes[1].requestedPath, titled);
    EXPECT_EQ(outcomes[1].finalPath, second);
    EXPECT_EQ(test::readFileBytes(first), a);
    EXPECT_EQ(test::readFileBytes(second), b);
    EXPECT_EQ(test::readFileBytes(titled), taken);
    EXPECT_EQ(batch.size(), 0u);
  }
  {
    OutputBatch abandoned;
    ASSERT_TRUE(abandoned.add((dir / "C.DOC").string(), a));
  }
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) entries += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(entries, 3u);
}

}  // namespace
}  // namespace vellumark::platform
