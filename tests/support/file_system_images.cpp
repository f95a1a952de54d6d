#include "support/file_system_images.h"

#include <random>
#include <sstream>

#include "support/image_builder.h"

namespace vellumark::test {

std::string quoted(const std::filesystem::path& path) {
  std::string out = "'";
  for (char c : path.string()) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

bool shellOk(const std::string& command) { return runCommand(command + " >/dev/null 2>&1") == 0; }

bool makeFileSystem(const std::filesystem::path& image, std::uint64_t kib, const std::string& mkfsCommand) {
  std::filesystem::remove(image);
  return shellOk("truncate -s " + std::to_string(kib) + "K " + quoted(image)) &&
         shellOk(mkfsCommand + " " + quoted(image));
}

bool fatCopyIn(const std::filesystem::path& image, const std::filesystem::path& file, const std::string& name) {
  return shellOk("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + quoted(image) + " " + quoted(file) + " ::" + name);
}

bool fatDelete(const std::filesystem::path& image, const std::string& name) {
  return shellOk("MTOOLS_SKIP_CHECK=1 mdel -i " + quoted(image) + " ::" + name);
}

bool ntfsCopyIn(const std::filesystem::path& image, const std::filesystem::path& file, const std::string& name) {
  return shellOk("ntfscp -f " + quoted(image) + " " + quoted(file) + " " + name);
}

std::optional<std::vector<bool>> tskBlockAllocation(const std::filesystem::path& image) {
  int status = -1;
  const std::string out = commandOutput("timeout 120 blkls -l -e " + quoted(image) + " 2>/dev/null", &status);
  if (status != 0) return std::nullopt;
  std::vector<bool> allocated;
  std::istringstream lines(out);
  std::string line;
  bool inBody = false;
  while (std::getline(lines, line)) {
    if (!inBody) {
      inBody = line == "addr|alloc";
      continue;
    }
    const auto bar = line.find('|');
    if (bar == std::string::npos) continue;
    const std::size_t block = std::stoull(line.substr(0, bar));
    if (block >= allocated.size()) allocated.resize(block + 1, false);
    allocated[block] = line.substr(bar + 1) == "a";
  }
  if (allocated.empty()) return std::nullopt;
  return allocated;
}

std::filesystem::path randomFile(const std::filesystem::path& dir, const std::string& name, std::size_t bytes,
                                 std::uint32_t seed) {
  std::vector<std::uint8_t> data(bytes);
  std::mt19937 rng(seed);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const auto path = dir / name;
  writeFileBytes(path, data);
  return path;
}

}  // namespace vellumark::test
