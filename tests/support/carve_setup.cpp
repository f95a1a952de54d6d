#include "support/carve_setup.h"

#include <algorithm>

#include <zlib.h>

namespace vellumark::test {

namespace {

void put16(std::vector<std::uint8_t>& b, std::size_t off, std::uint16_t v) {
  if (b.size() < off + 2) b.resize(off + 2);
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
  put16(b, off, static_cast<std::uint16_t>(v));
  put16(b, off + 2, static_cast<std::uint16_t>(v >> 16));
}

std::uint32_t crcOf(const std::string& text) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

void append(std::vector<std::uint8_t>& b, const std::string& text) { b.insert(b.end(), text.begin(), text.end()); }

}  // namespace

CarveSetup::CarveSetup(std::vector<std::uint8_t> image, std::uint32_t bytesPerSector, const std::string& outputFolder) {
  auto src = std::make_unique<MemorySource>(std::move(image), bytesPerSector);
  source = src.get();
  openScanSource(state, std::move(src), "memory");
  state.geometry.bytesPerSector = bytesPerSector;
  state.geometry.sectorsPerCluster = 1;
  state.geometry.lastSector = static_cast<std::int64_t>(source->sizeBytes() / bytesPerSector) - 1;
  state.scanStartSector = 0;
  state.scanEndSector = state.geometry.lastSector;
  state.clusterPhase = 0;
  if (!state.usedSectorMap.allocate(state.geometry.lastSector)) throw std::bad_alloc();
  state.outputFolder = outputFolder;
  if (!state.outputFolder.empty() && state.outputFolder.back() != '/') state.outputFolder += '/';
}

std::vector<std::uint8_t> makeCompoundFile(const std::vector<std::string>& names, std::uint32_t dataSectors) {
  std::vector<std::uint8_t> b(512 * (3 + static_cast<std::size_t>(dataSectors)), 0);
  const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(signature), std::end(signature), b.begin());
  put32(b, 28, 0x0009FFFE);
  put32(b, 44, 1);           // FAT sectors
  put32(b, 48, 1);           // first directory sector
  put32(b, 60, 0xFFFFFFFE);  // no mini FAT
  put32(b, 68, 0xFFFFFFFE);  // no DIFAT chain
  put32(b, 76, 0);           // FAT in sector 0
  for (std::size_t i = 1; i < 109; ++i) put32(b, 76 + 4 * i, 0xFFFFFFFF);
  const std::size_t fat = 512;
  for (std::size_t i = 0; i < 128; ++i) put32(b, fat + 4 * i, 0xFFFFFFFF);
  put32(b, fat + 0, 0xFFFFFFFD);
  put32(b, fat + 4, 0xFFFFFFFE);
  for (std::uint32_t i = 0; i < dataSectors; ++i)
    put32(b, fat + 4 * (2 + i), i + 1 == dataSectors ? 0xFFFFFFFE : 3 + i);
  put32(b, 56, 4096);        // mini stream cutoff
  // The directory: entry 0 the root, the others streams chained as right siblings below it.
  // The data sectors are the stream of the last entry named like a document's main stream.
  const std::size_t dir = 1024;
  std::size_t owner = 0;
  for (std::size_t e = 0; e < names.size() && e < 4; ++e)
    for (const char* main : {"WordDocument", "Workbook", "PowerPoint Document", "EncryptedPackage"})
      if (names[e] == main) owner = e;
  for (std::size_t e = 0; e < 4; ++e) {
    const std::size_t at = dir + 128 * e;
    put32(b, at + 68, 0xFFFFFFFF);
    put32(b, at + 72, e + 1 < names.size() && e > 0 ? static_cast<std::uint32_t>(e + 1) : 0xFFFFFFFF);
    put32(b, at + 76, e == 0 && names.size() > 1 ? 1 : 0xFFFFFFFF);
    put32(b, at + 116, 0xFFFFFFFE);
    if (e >= names.size()) continue;
    const std::string& name = names[e];
    for (std::size_t c = 0; c < name.size(); ++c) put16(b, at + 2 * c, static_cast<std::uint8_t>(name[c]));
    put16(b, at + 64, static_cast<std::uint16_t>(2 * name.size() + 2));
    b[at + 66] = e == 0 ? 5 : 2;
    b[at + 67] = 1;
    if (e == owner && e > 0 && dataSectors > 0) {
      put32(b, at + 116, 2);
      put32(b, at + 120, 512 * dataSectors);
    }
  }
  for (std::uint32_t i = 0; i < dataSectors; ++i)
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(1536 + 512 * i), 512, static_cast<std::uint8_t>(0x40 + i));
  return b;
}

std::vector<std::uint8_t> makeZip(const std::vector<ZipEntry>& entries, const std::string& comment) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint32_t> offsets;
  for (const ZipEntry& e : entries) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    const std::size_t h = out.size();
    out.resize(h + 30, 0);
    put32(out, h, 0x04034B50);
    put16(out, h + 4, 20);
    put32(out, h + 14, crcOf(e.content));
    put32(out, h + 18, static_cast<std::uint32_t>(e.content.size()));
    put32(out, h + 22, static_cast<std::uint32_t>(e.content.size()));
    put16(out, h + 26, static_cast<std::uint16_t>(e.name.size()));
    append(out, e.name);
    append(out, e.content);
  }
  const std::size_t cdStart = out.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& e = entries[i];
    const std::size_t h = out.size();
    out.resize(h + 46, 0);
    put32(out, h, 0x02014B50);
    put16(out, h + 4, 20);
    put16(out, h + 6, 20);
    put32(out, h + 16, crcOf(e.content));
    put32(out, h + 20, static_cast<std::uint32_t>(e.content.size()));
    put32(out, h + 24, static_cast<std::uint32_t>(e.content.size()));
    put16(out, h + 28, static_cast<std::uint16_t>(e.name.size()));
    put32(out, h + 42, offsets[i]);
    append(out, e.name);
  }
  const std::size_t cdEnd = out.size();
  const std::size_t h = out.size();
  out.resize(h + 22, 0);
  put32(out, h, 0x06054B50);
  put16(out, h + 8, static_cast<std::uint16_t>(entries.size()));
  put16(out, h + 10, static_cast<std::uint16_t>(entries.size()));
  put32(out, h + 12, static_cast<std::uint32_t>(cdEnd - cdStart));
  put32(out, h + 16, static_cast<std::uint32_t>(cdStart));
  put16(out, h + 20, static_cast<std::uint16_t>(comment.size()));
  append(out, comment);
  return out;
}

}  // namespace vellumark::test
