#pragma once
// Every text the program shows a person comes from this table, by entry number.

#include <string_view>

namespace vellumark {

inline constexpr int kTextEntries = 89;

// The text of an entry in the current language (English for now); "" for unused entries
// and numbers outside 0..88.
[[nodiscard]] std::string_view uiText(int entry);

}  // namespace vellumark
