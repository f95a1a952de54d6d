#pragma once
// Builds disk images in memory for tests: place bytes at sectors or offsets, then use the
// image as an in-memory source or write it to a file.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "source/sector_source.h"

namespace vellumark::test {

class ImageBuilder {
 public:
  explicit ImageBuilder(std::uint64_t sectors, std::uint32_t sectorSize = 512)
      : sectorSize_(sectorSize), bytes_(sectors * sectorSize, 0) {}

  std::uint32_t sectorSize() const { return sectorSize_; }
  std::uint64_t sectorCount() const { return bytes_.size() / sectorSize_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

  ImageBuilder& putBytes(std::uint64_t offset, std::span<const std::uint8_t> data);
  ImageBuilder& putText(std::uint64_t offset, std::string_view text);
  ImageBuilder& putLe16(std::uint64_t offset, std::uint16_t v);
  ImageBuilder& putLe32(std::uint64_t offset, std::uint32_t v);
  ImageBuilder& putLe64(std::uint64_t offset, std::uint64_t v);
  ImageBuilder& putBe16(std::uint64_t offset, std::uint16_t v);
  ImageBuilder& putBe32(std::uint64_t offset, std::uint32_t v);
  ImageBuilder& fill(std::uint64_t offset, std::uint64_t length, std::uint8_t value);
  // Fills [offset, offset+length) with deterministic pseudo-random bytes.
  ImageBuilder& fillRandom(std::uint64_t offset, std::uint64_t length, std::uint32_t seed);

  // Writes `data` into the given sectors in order, one sector-sized piece each (the last
  // piece zero-padded): lays a file out non-contiguously.
  ImageBuilder& scatter(std::span<const std::uint8_t> data, std::span<const std::uint64_t> sectors);

  [[nodiscard]] std::unique_ptr<MemorySource> source() const;
  void writeTo(const std::filesystem::path& path) const;

 private:
  void ensure(std::uint64_t end);
  std::uint32_t sectorSize_;
  std::vector<std::uint8_t> bytes_;
};

// A folder under the system's temp dir, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The report and log a rescue writes beside the documents (report.xml, rescue.log, ...).
bool isRescueRecord(const std::filesystem::path& path);

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, std::span<const std::uint8_t> data);

// Runs a shell command; returns its exit status. Output goes to the test log.
int runCommand(const std::string& command);
// Runs a command and returns what it printed on stdout.
std::string commandOutput(const std::string& command, int* exitStatus = nullptr);
// True when `program` is on PATH.
bool haveProgram(std::string_view program);

// The bundled real documents (tests/data/corpus) and their manifest.
struct CorpusDocument {
  std::string name;
  std::string ext;
  std::uint64_t size = 0;
  std::string sha256;
  std::string notes;
  std::filesystem::path path;
  bool hasNote(std::string_view note) const;
};
std::vector<CorpusDocument> corpusDocuments();

// Path of the command-line program built with the tests.
std::filesystem::path cliPath();

}  // namespace vellumark::test
