#include "platform/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <string>
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

}  // namespace

std::optional<std::u16string> decodeCodePage(Bytes text, std::uint16_t codePage) {
  const iconv_t cd = ::iconv_open("UTF-16LE", converterName(codePage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::vector<char> in(text.begin(), text.end());
  std::vector<char> out(in.size() * 4 + 4);
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t rc = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  ::iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return std::nullopt;
  const std::size_t produced = out.size() - outLeft;
  std::u16string result(produced / 2, u'\0');
  for (std::size_t i = 0; i < result.size(); ++i)
    result[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) | (static_cast<unsigned char>(out[2 * i + 1]) << 8));
  return result;
}

}  // namespace vellumark::platform
