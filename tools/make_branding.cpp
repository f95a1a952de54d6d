// vellumark-branding FILE NAME UNUSED STATUS LINK: writes a branding file "Vellumark.dll" with
// the product name, an unused line, the status-bar text and the status-bar link.

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "app/branding.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: vellumark-branding FILE NAME UNUSED-LINE STATUS-TEXT LINK\n";
    return 2;
  }
  const std::vector<std::string> lines{argv[2], argv[3], argv[4], argv[5]};
  const std::vector<std::uint8_t> bytes = vellumark::brandingFileBytes(lines);
  if (bytes.empty()) {
    std::cerr << "vellumark-branding: the lines could not be compressed\n";
    return 1;
  }
  const std::string path = argv[1];
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      std::cerr << "vellumark-branding: cannot write " << temporary << "\n";
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::cerr << "vellumark-branding: cannot rename " << temporary << " to " << path << "\n";
    return 1;
  }
  return 0;
}
