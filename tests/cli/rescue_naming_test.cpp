// The rescue command names documents after their content unless told not to, and lists
// their titles, last-saved times and authors in its JSON summary.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/file_system_images.h"
#include "support/image_builder.h"
#include "support/word_writer.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

using test::quoted;

TEST(RescueNaming, NamesAfterTheFirstLineAndListsWhatTheDocumentSays) {
  test::TempDir dir;
  test::WordDocumentContent content;
  content.text = u"Report 2023: final!\rBody\r";
  content.title = "Quarterly \"report\"";
  content.author = "Zoë";
  content.lastSavedFileTime = test::fileTimeOf(1'420'070'400);
  const auto doc = test::writeWordDocument(content);
  test::ImageBuilder image(16 + doc.size() / 512 + 16);
  image.putBytes(16 * 512, doc);
  image.writeTo(dir / "doc.img");

  for (const bool rename : {true, false}) {
    const fs::path out = dir / (rename ? "named" : "plain");
    fs::create_directory(out);
    int status = -1;
    const std::string json = test::commandOutput(quoted(test::cliPath()) + " rescue " + quoted(dir / "doc.img") + " -o " +
                                                     quoted(out) + " --json -q" + (rename ? "" : " --no-rename") +
                                                     " </dev/null 2>/dev/null",
                                                 &status);
    ASSERT_EQ(status, 0);
    const std::string name = rename ? "TEST_AAAAAAAQ_Report 2023 final.DOC" : "TEST_AAAAAAAQ.DOC";
    EXPECT_TRUE(fs::exists(out / name)) << json;
    EXPECT_NE(json.find("\"name\": \"" + name + "\""), std::string::npos) << json;
    for (const char* member : {R"("title": "Quarterly \"report\"")", R"("lastSaved": "2015-01-01T00:00:00Z")", R"("author": "Zoë")"})
      EXPECT_NE(json.find(member), std::string::npos) << member << "\n" << json;
  }
}

}  // namespace
}  // namespace vellumark
