#include "platform/locale_code_page.h"

#include <cstdlib>
#include <string>

namespace vellumark::platform {

namespace {

std::string_view environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string_view{} : std::string_view{value};
}

}  // namespace

int oemCodePageForLocale(std::string_view localeName) {
  // Language and territory only: the codeset and modifier do not change the language.
  const std::size_t end = localeName.find_first_of(".@");
  const std::string_view tag = localeName.substr(0, end);
  if (tag == "zh_CN" || tag == "zh_SG") return 936;
  if (tag == "zh_TW" || tag == "zh_HK" || tag == "zh_MO") return 950;
  return kCodePageUs;
}

std::optional<int> oemCodePageForLanguage(std::string_view language) {
  if (language == "en") return kCodePageUs;
  if (language == "zh_CN") return 936;
  if (language == "zh_TW") return 950;
  return std::nullopt;
}

int oemCodePage() {
  if (auto chosen = oemCodePageForLanguage(environment("VELLUMARK_LANG"))) return *chosen;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string_view value = environment(name);
    if (!value.empty()) return oemCodePageForLocale(value);
  }
  return kCodePageUs;
}

}  // namespace vellumark::platform
