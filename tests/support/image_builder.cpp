#include "support/image_builder.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vellumark::test {

void ImageBuilder::ensure(std::uint64_t end) {
  if (end > bytes_.size()) bytes_.resize(end, 0);
}

ImageBuilder& ImageBuilder::putBytes(std::uint64_t offset, std::span<const std::uint8_t> data) {
  ensure(offset + data.size());
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return *this;
}

ImageBuilder& ImageBuilder::putText(std::uint64_t offset, std::string_view text) {
  return putBytes(offset, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

ImageBuilder& ImageBuilder::putLe16(std::uint64_t o, std::uint16_t v) {
  std::array<std::uint8_t, 2> b{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
  return putBytes(o, b);
}
ImageBuilder& ImageBuilder::putLe32(std::uint64_t o, std::uint32_t v) {
  std::array<std::uint8_t, 4> b{};
  for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  return putBytes(o, b);
}
ImageBuilder& ImageBuilder::putLe64(std::uint64_t o, std::uint64_t v) {
  putLe32(o, static_cast<std::uint32_t>(v));
  return putLe32(o + 4, static_cast<std::uint32_t>(v >> 32));
}
ImageBuilder& ImageBuilder::putBe16(std::uint64_t o, std::uint16_t v) {
  std::array<std::uint8_t, 2> b{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  return putBytes(o, b);
}
ImageBuilder& ImageBuilder::putBe32(std::uint64_t o, std::uint32_t v) {
  std::array<std::uint8_t, 4> b{};
  for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  return putBytes(o, b);
}
ImageBuilder& ImageBuilder::fill(std::uint64_t offset, std::uint64_t length, std::uint8_t value) {
  ensure(offset + length);
  std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), length, value);
  return *this;
}
ImageBuilder& ImageBuilder::fillRandom(std::uint64_t offset, std::uint64_t length, std::uint32_t seed) {
  ensure(offset + length);
  std::mt19937 rng(seed);
  for (std::uint64_t i = 0; i < length; ++i) bytes_[offset + i] = static_cast<std::uint8_t>(rng());
  return *this;
}

ImageBuilder& ImageBuilder::scatter(std::span<const std::uint8_t> data, std::span<const std::uint64_t> sectors) {
  std::size_t pos = 0;
  for (std::uint64_t s : sectors) {
    if (pos >= data.size()) break;
    std::size_t n = std::min<std::size_t>(sectorSize_, data.size() - pos);
    fill(s * sectorSize_, sectorSize_, 0);
    putBytes(s * sectorSize_, data.subspan(pos, n));
    pos += n;
  }
  if (pos < data.size()) throw std::runtime_error("scatter: not enough sectors for the data");
  return *this;
}

std::unique_ptr<MemorySource> ImageBuilder::source() const { return std::make_unique<MemorySource>(bytes_); }

void ImageBuilder::writeTo(const std::filesystem::path& path) const { writeFileBytes(path, bytes_); }

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vellumark-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool isRescueRecord(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  return (name.starts_with("report") && name.ends_with(".xml")) || (name.starts_with("rescue") && name.ends_with(".log"));
}

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFileBytes(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

int runCommand(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string commandOutput(const std::string& command, int* exitStatus) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (exitStatus) *exitStatus = -1;
    return out;
  }
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
  int status = ::pclose(pipe);
  if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return out;
}

bool haveProgram(std::string_view program) {
  return runCommand("command -v " + std::string(program) + " >/dev/null 2>&1") == 0;
}

bool CorpusDocument::hasNote(std::string_view note) const {
  std::stringstream ss(notes);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item == note) return true;
  }
  return false;
}

std::vector<CorpusDocument> corpusDocuments() {
  std::filesystem::path dir = std::filesystem::path(VELLUMARK_TEST_DATA_DIR) / "corpus";
  std::ifstream in(dir / "MANIFEST.tsv");
  if (!in) throw std::runtime_error("missing corpus manifest in " + dir.string());
  std::vector<CorpusDocument> docs;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::stringstream ss(line);
    CorpusDocument d;
    std::string size;
    std::getline(ss, d.name, '\t');
    std::getline(ss, d.ext, '\t');
    std::getline(ss, size, '\t');
    std::getline(ss, d.sha256, '\t');
    std::getline(ss, d.notes, '\t');
    d.size = std::stoull(size);
    d.path = dir / d.name;
    docs.push_back(std::move(d));
  }
  return docs;
}

std::filesystem::path cliPath() { return VELLUMARK_CLI_PATH; }

}  // namespace vellumark::test
