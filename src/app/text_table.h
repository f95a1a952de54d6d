#pragma once
// Every text the program shows a person comes from this table, by entry number. Three sets
// exist (English, simplified and traditional Chinese), all in UTF-8; one is chosen at start-up
// from the OEM code page the platform layer derives from the locale, English by default.

#include <string_view>

namespace vellumark {

inline constexpr int kTextEntries = 89;

inline constexpr int kCodePageSimplifiedChinese = 936;
inline constexpr int kCodePageTraditionalChinese = 950;

enum class TextSet { English, SimplifiedChinese, TraditionalChinese };

// 936 gives simplified Chinese, 950 traditional Chinese, any other code page English.
[[nodiscard]] TextSet textSetForCodePage(int oemCodePage);

// Chosen once at start-up, before any window exists.
void selectTextSet(TextSet set);
[[nodiscard]] TextSet selectedTextSet();

// The text of an entry in the selected set (or in the given one); "" for unused entries
// and numbers outside 0..88.
[[nodiscard]] std::string_view uiText(int entry);
[[nodiscard]] std::string_view uiText(TextSet set, int entry);

// The user-interface font the set names: "Tahoma", "宋体" or "細明體". The desktop program
// maps it to a font this system has.
[[nodiscard]] std::string_view uiFontName();
[[nodiscard]] std::string_view uiFontName(TextSet set);

}  // namespace vellumark
