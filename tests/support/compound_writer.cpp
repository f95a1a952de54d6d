#include "support/compound_writer.h"

#include <algorithm>
#include <cctype>

namespace vellumark::test {

namespace {

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kFatMark = 0xFFFFFFFD;

void put16(std::vector<std::uint8_t>& b, std::size_t off, std::uint16_t v) {
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
  put16(b, off, static_cast<std::uint16_t>(v));
  put16(b, off + 2, static_cast<std::uint16_t>(v >> 16));
}
void put64(std::vector<std::uint8_t>& b, std::size_t off, std::uint64_t v) {
  put32(b, off, static_cast<std::uint32_t>(v));
  put32(b, off + 4, static_cast<std::uint32_t>(v >> 32));
}

std::uint32_t units(std::size_t bytes, std::size_t unit) { return static_cast<std::uint32_t>((bytes + unit - 1) / unit); }

// Links `count` units from `first` into one chain of `table`.
void chain(std::vector<std::uint32_t>& table, std::uint32_t first, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) table[first + i] = i + 1 == count ? kEnd : first + i + 1;
}

}  // namespace

std::vector<std::uint8_t> writeCompoundFile(const std::vector<CompoundStream>& input, const CompoundOptions& o) {
  const std::size_t ss = o.sectorBytes;
  const std::size_t perFat = ss / 4;
  // Directory order: shorter names first, then by upper-case name, as readers expect.
  std::vector<CompoundStream> streams = input;
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  std::sort(streams.begin(), streams.end(), [&](const CompoundStream& a, const CompoundStream& b) {
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return upper(a.name) < upper(b.name);
  });

  // Sector plan: big streams, mini stream, mini FAT, directory, FAT.
  std::vector<std::uint32_t> start(streams.size(), kEnd);
  std::uint32_t next = 0;
  std::uint32_t miniCount = 0;
  std::vector<std::uint32_t> miniStart(streams.size(), kEnd);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const std::size_t size = streams[i].content.size();
    if (size >= 4096) {
      start[i] = next;
      next += units(size, ss);
    } else if (size > 0) {
      miniStart[i] = miniCount;
      miniCount += units(size, 64);
    }
  }
  const std::uint32_t miniStreamFirst = next;
  const std::uint32_t miniStreamSectors = units(std::size_t{miniCount} * 64, ss);
  next += miniStreamSectors;
  const std::uint32_t miniFatFirst = next;
  const std::uint32_t miniFatSectors = units(std::size_t{miniCount} * 4, ss);
  next += miniFatSectors;
  const std::uint32_t dirFirst = next;
  const std::uint32_t dirSectors = units((streams.size() + 1) * 128, ss);
  next += dirSectors;
  std::uint32_t fatSectors = 1;
  while (fatSectors * perFat < next + fatSectors) ++fatSectors;
  const std::uint32_t fatFirst = next;
  const std::uint32_t total = next + fatSectors;

  std::vector<std::uint32_t> fat(fatSectors * perFat, kFree);
  std::vector<std::uint32_t> miniFat(miniFatSectors * perFat, kFree);
  std::vector<std::uint8_t> out(ss * (std::size_t{total} + 1), 0);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const auto& content = streams[i].content;
    if (start[i] != kEnd) {
      chain(fat, start[i], units(content.size(), ss));
      std::copy(content.begin(), content.end(), out.begin() + static_cast<std::ptrdiff_t>(ss * (start[i] + 1)));
    } else if (miniStart[i] != kEnd) {
      chain(miniFat, miniStart[i], units(content.size(), 64));
      std::copy(content.begin(), content.end(),
                out.begin() + static_cast<std::ptrdiff_t>(ss * (miniStreamFirst + 1) + 64 * miniStart[i]));
    }
  }
  if (miniStreamSectors > 0) chain(fat, miniStreamFirst, miniStreamSectors);
  if (miniFatSectors > 0) chain(fat, miniFatFirst, miniFatSectors);
  chain(fat, dirFirst, dirSectors);
  for (std::uint32_t i = 0; i < fatSectors; ++i) fat[fatFirst + i] = kFatMark;

  for (std::size_t i = 0; i < miniFat.size(); ++i) put32(out, ss * (miniFatFirst + 1) + 4 * i, miniFat[i]);
  // The k-th FAT sector listed holds entries k * perFat on.
  std::vector<std::uint32_t> listed(fatSectors);
  for (std::uint32_t k = 0; k < fatSectors; ++k) listed[k] = o.fatSectorsListedBackwards ? fatFirst + fatSectors - 1 - k : fatFirst + k;
  for (std::uint32_t k = 0; k < fatSectors; ++k)
    for (std::size_t i = 0; i < perFat; ++i) put32(out, ss * (listed[k] + 1) + 4 * i, fat[k * perFat + i]);

  // Directory: the root, then one entry per stream, chained through right siblings.
  const std::size_t dir = ss * (dirFirst + 1);
  for (std::size_t e = 0; e < dirSectors * ss / 128; ++e) {
    put32(out, dir + 128 * e + 68, kFree);
    put32(out, dir + 128 * e + 72, kFree);
    put32(out, dir + 128 * e + 76, kFree);
  }
  auto entry = [&](std::size_t e, const std::string& name, std::uint8_t type, std::uint32_t first, std::uint64_t size) {
    const std::size_t at = dir + 128 * e;
    for (std::size_t c = 0; c < name.size(); ++c) put16(out, at + 2 * c, static_cast<std::uint8_t>(name[c]));
    put16(out, at + 64, name.empty() ? 0 : static_cast<std::uint16_t>(2 * name.size() + 2));
    out[at + 66] = type;
    out[at + 67] = 1;  // black
    put32(out, at + 116, first);
    put64(out, at + 120, size);
  };
  entry(0, o.blankRootName ? "" : "Root Entry", 5, miniStreamSectors > 0 ? miniStreamFirst : kEnd, std::uint64_t{miniCount} * 64);
  if (!streams.empty()) put32(out, dir + 76, 1);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const std::size_t size = streams[i].content.size();
    entry(i + 1, streams[i].name, 2, size >= 4096 ? start[i] : (size > 0 ? miniStart[i] : kEnd), size);
    if (i + 1 < streams.size()) put32(out, dir + 128 * (i + 1) + 72, static_cast<std::uint32_t>(i + 2));
  }

  const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(signature), std::end(signature), out.begin());
  put16(out, 24, 0x3E);
  put16(out, 26, ss == 4096 ? 4 : 3);
  put16(out, 28, 0xFFFE);
  put16(out, 30, ss == 4096 ? 12 : 9);
  put16(out, 32, 6);
  put32(out, 40, ss == 4096 ? dirSectors : 0);
  put32(out, 44, fatSectors);
  put32(out, 48, dirFirst);
  put32(out, 56, 4096);
  put32(out, 60, miniFatSectors > 0 ? miniFatFirst : kEnd);
  put32(out, 64, miniFatSectors);
  put32(out, 68, kEnd);
  for (std::size_t i = 0; i < 109; ++i) put32(out, 76 + 4 * i, i < fatSectors ? listed[i] : kFree);
  return out;
}

std::vector<std::uint8_t> compoundHeader(std::uint32_t fatSector, std::uint32_t firstDirectorySector) {
  std::vector<std::uint8_t> h(512, 0xFF);
  const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(signature), std::end(signature), h.begin());
  const auto put = [&h](std::size_t off, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) h[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0x18, 0x3E, 2), put(0x1A, 3, 2), put(0x1C, 0xFFFE, 2), put(0x1E, 9, 2), put(0x20, 6, 2);
  put(0x2C, 1, 4), put(0x30, firstDirectorySector, 4), put(0x38, 4096, 4), put(0x3C, 0xFFFFFFFE, 4), put(0x44, 0xFFFFFFFE, 4);
  put(0x4C, fatSector, 4);
  return h;
}

}  // namespace vellumark::test
