#include "platform/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

namespace vellumark::platform {

namespace {

std::string converterName(std::uint16_t codePage) {
  switch (codePage) {
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 65001: return "UTF-8";
    case 20127: return "ASCII";
    case 10000: return "MACINTOSH";
    case 28591: return "ISO-8859-1";
    default: return "CP" + std::to_string(codePage);
  }
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// The converters opened on this thread, kept open: opening one looks its module up afresh
// each time, which costs far more than converting a document's few property strings. Code
// pages the C library does not know are remembered as such (there are at most 65,536).
class Converters {
 public:
  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    for (const auto& [codePage, cd] : open_)
      if (cd != kNoConverter) ::iconv_close(cd);
  }

  // The converter from codePage to UTF-16LE, in its initial state; kNoConverter when there is none.
  iconv_t to16(std::uint16_t codePage) {
    if (const auto it = open_.find(codePage); it != open_.end()) {
      if (it->second != kNoConverter) ::iconv(it->second, nullptr, nullptr, nullptr, nullptr);
      return it->second;
    }
    const iconv_t cd = ::iconv_open("UTF-16LE", converterName(codePage).c_str());
    // Only a code page the library does not convert is remembered as failing: one that could
    // not be opened for want of memory or descriptors is tried again next time.
    if (cd != kNoConverter || errno == EINVAL) open_.emplace(codePage, cd);
    return cd;
  }

 private:
  std::unordered_map<std::uint16_t, iconv_t> open_;
};

thread_local Converters tConverters;

}  // namespace

std::optional<std::u16string> decodeCodePage(Bytes text, std::uint16_t codePage) {
  const iconv_t cd = tConverters.to16(codePage);
  if (cd == kNoConverter) return std::nullopt;
  std::vector<char> in(text.begin(), text.end());
  std::vector<char> out(in.size() * 4 + 4);
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  if (rc == static_cast<std::size_t>(-1)) return std::nullopt;
  // Some converters hold the last character back until they know what follows it (CP1258
  // and CP1255 combine letters with the accents after them): the end of the text lets it go.
  if (::iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
  const std::size_t produced = out.size() - outLeft;
  std::u16string result(produced / 2, u'\0');
  for (std::size_t i = 0; i < result.size(); ++i)
    result[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) | (static_cast<unsigned char>(out[2 * i + 1]) << 8));
  return result;
}

}  // namespace vellumark::platform
