#include "carvers/recovered_output.h"

namespace vellumark {

std::string sectorLetters(int count, std::int64_t value) {
  if (count <= 0) return {};
  std::string letters(static_cast<std::size_t>(count), 'A');
  std::uint64_t rest = value > 0 ? static_cast<std::uint64_t>(value) : 0;
  for (std::size_t i = letters.size(); i-- > 0 && rest > 0;) {
    letters[i] = static_cast<char>('A' + rest % 26);
    rest /= 26;
  }
  return letters;
}

std::string recoveredFileName(const std::string& outputFolder, std::int64_t startOffset, std::string_view extension) {
  std::string name = outputFolder;
  if (!name.empty() && name.back() != '/') name += '/';
  name += "TEST_";
  name += sectorLetters(8, startOffset >> 9);
  name += extension;
  return name;
}

}  // namespace vellumark
