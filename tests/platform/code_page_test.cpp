#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <string_view>

namespace vellumark::platform {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

TEST(CodePage, ConvertersKeptOpenDecodeEachTextWholeAndAfresh) {
  // CP1258 holds each letter back for an accent that may follow: the last one must come out.
  EXPECT_EQ(decodeCodePage(bytesOf("abc"), 1258), u"abc");
  EXPECT_EQ(decodeCodePage(bytesOf("Vi\xEA\xF2t"), 1258), u"Vi\u1EC7t");  // e-circumflex + dot below, composed
  EXPECT_EQ(decodeCodePage(bytesOf("xyz"), 1258), u"xyz");
  EXPECT_EQ(decodeCodePage(bytesOf("ab\xE0"), 1255), u"ab\u05D0");  // so does CP1255 a Hebrew letter
  // A text that fails leaves nothing behind for the next one of its code page.
  EXPECT_EQ(decodeCodePage(bytesOf("\x82"), 932), std::nullopt);  // a lead byte with nothing after it
  EXPECT_EQ(decodeCodePage(bytesOf("\x82\xA0z"), 932), u"\u3042z");
  EXPECT_EQ(decodeCodePage(bytesOf("caf\xE9"), 1252), u"caf\u00E9");
  // A code page the library does not know stays unknown.
  EXPECT_EQ(decodeCodePage(bytesOf("abc"), 1), std::nullopt);
  EXPECT_EQ(decodeCodePage(bytesOf("abc"), 1), std::nullopt);
}

}  // namespace
}  // namespace vellumark::platform
