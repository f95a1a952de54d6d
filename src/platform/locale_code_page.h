#pragma once
// The OEM code page that picks the language of the text table, derived from the locale the
// way the system's own code page would be: Chinese (China, Singapore) 936, Chinese (Taiwan,
// Hong Kong, Macau) 950, anything else 437. VELLUMARK_LANG=en|zh_CN|zh_TW overrides it.

#include <optional>
#include <string_view>

namespace vellumark::platform {

inline constexpr int kCodePageUs = 437;

// The code page of a locale name such as "zh_CN.UTF-8", "zh_TW" or "de_DE@euro".
[[nodiscard]] int oemCodePageForLocale(std::string_view localeName);

// The code page a VELLUMARK_LANG value names; empty for an unknown value.
[[nodiscard]] std::optional<int> oemCodePageForLanguage(std::string_view language);

// VELLUMARK_LANG when it names a language, else the locale of LC_ALL, LC_MESSAGES or LANG
// (the first that is set and not empty).
[[nodiscard]] int oemCodePage();

}  // namespace vellumark::platform
