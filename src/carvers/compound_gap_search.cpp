#include "carvers/compound_gap_search.h"

#include "carvers/cluster_search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

#include "scan/type_codes.h"

namespace vellumark::cfb {

namespace {

using ole2::kEndOfChain;
using ole2::kFreeSector;

constexpr std::int64_t kUnit = 512;  // confirmation is kept per 512 bytes of the file
constexpr std::uint16_t kMaxBiffRecord = 8224;
constexpr std::uint16_t kMaxBiffType = 0x1200;
constexpr std::uint16_t kWordIdent = 0xA5EC;
constexpr std::uint16_t kFirstWord97Fib = 0xC1;
constexpr std::size_t kFibFcLcbOffset = 154;
constexpr std::size_t kFibFcLcbCountOffset = 152;
constexpr std::size_t kFibFlagsOffset = 10;
constexpr std::uint16_t kFibWhichTable = 0x0200;
constexpr std::uint16_t kFibEncrypted = 0x0100;
constexpr std::size_t kFcLcbBteChpx = 12, kFcLcbBtePapx = 13, kFcLcbClx = 33;
constexpr std::int64_t kFkpBytes = 512;
constexpr std::uint8_t kMaxChpxRuns = 0x65, kMaxPapxRuns = 0x1D;

bool special(std::uint32_t v) { return v > ole2::kHighestRegularSector; }

// A PowerPoint or OfficeArt record type: PowerPoint's own from 1000 on, OfficeArt's from F000.
bool recordType(std::uint16_t t) { return (t >= 0x03E8 && t < 0x3000) || (t >= 0xF000 && t < 0xF200); }

// Characters a Word text piece holds: text, and the marks Word puts into it (fields, cell
// and paragraph ends, breaks, object anchors).
bool wordControl(std::uint32_t c) {
  switch (c) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x07: case 0x08: case 0x09: case 0x0A:
    case 0x0B: case 0x0C: case 0x0D: case 0x0E: case 0x13: case 0x14: case 0x15: case 0x1E: case 0x1F:
      return true;
    default:
      return false;
  }
}

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

}  // namespace

bool looksLikeFatSector(Bytes sector, std::size_t index, const std::vector<std::uint32_t>& fatSectors) {
  const std::size_t per = sector.size() / 4;
  const std::uint64_t bound = static_cast<std::uint64_t>(per) * fatSectors.size();
  std::vector<std::uint32_t> links;
  for (std::size_t i = 0; i < per; ++i) {
    const std::uint32_t v = le32(sector, 4 * i);
    const std::uint64_t own = index * per + i;
    const bool listed = std::find(fatSectors.begin(), fatSectors.end(), own) != fatSectors.end();
    // Some writers end a FAT sector's own entry as a chain of one instead of marking it.
    if (listed ? v != ole2::kFatSectorMark && v != kEndOfChain : v == ole2::kFatSectorMark) return false;
    if (v == ole2::kDifatSectorMark || (v > ole2::kHighestRegularSector && v < ole2::kDifatSectorMark)) return false;
    if (!special(v) && (v >= bound || v == own)) return false;
    if (!special(v)) links.push_back(v);
  }
  // No sector follows two others (a zero-filled sector would have every entry point at 0).
  std::sort(links.begin(), links.end());
  return std::adjacent_find(links.begin(), links.end()) == links.end();
}

bool looksLikeDirectorySector(Bytes sector, bool first) {
  bool used = false;
  for (std::size_t off = 0; off + ole2::kDirEntryBytes <= sector.size(); off += ole2::kDirEntryBytes) {
    const Bytes e = sector.subspan(off, ole2::kDirEntryBytes);
    const std::uint16_t nameLength = le16(e, ole2::kDirNameLengthOffset);
    const std::uint8_t type = u8At(e, ole2::kDirTypeOffset);
    if (off == 0 && first && type != ole2::kEntryRoot) return false;
    if (type == ole2::kEntryUnused) {
      for (std::size_t i = 0; i < ole2::kDirNameBytes; ++i)
        if (e[i] != 0) return false;
      continue;
    }
    if (type != ole2::kEntryStorage && type != ole2::kEntryStream && type != ole2::kEntryRoot) return false;
    if ((type == ole2::kEntryRoot) != (off == 0 && first)) return false;
    if (u8At(e, ole2::kDirColorOffset) > 1) return false;
    if (nameLength < 2 || nameLength > 64 || nameLength % 2 != 0) return false;
    // UTF-16 name: no zero before its terminator, the terminator zero.
    for (std::size_t i = 0; i + 2 < nameLength; i += 2)
      if (le16(e, i) == 0) return false;
    if (le16(e, nameLength - 2) != 0) return false;
    used = true;
  }
  // A directory sector with no entry in use is not written.
  return used;
}

// What the FAT and the directory say, once known; shared by every saved state that knows it.
struct CompoundFragmentCheck::Layout {
  Header header;
  std::vector<std::uint32_t> fatList;
  bool fatKnown = false;
  std::vector<std::uint32_t> fat;
  std::int64_t length = 0;
  std::int64_t sectorCount = 0;
  bool dirKnown = false;
  std::vector<std::uint32_t> dirChain;
  std::vector<DirEntry> entries;
  // Big-sector streams by directory entry: chain and size (empty chain for others).
  std::vector<std::vector<std::uint32_t>> chains;
  std::vector<std::uint64_t> sizes;
};

enum class WalkKind { Biff, Records, PropertySet, Zero, WordSetup, Text, Fkp, Done };

struct CompoundFragmentCheck::Walk {
  WalkKind kind = WalkKind::Done;
  std::size_t stream = 0;
  std::size_t table = 0;           // Word: the table stream
  std::int64_t pos = 0;
  std::int64_t end = 0;
  std::vector<std::int64_t> ends;  // open containers
  // Text: pieces as (offset, bytes, bytes per character); Fkp: (offset, most runs, 0).
  std::vector<std::array<std::int64_t, 3>> items;
  std::size_t item = 0;
};

// One bit per unit of the file. The search asks for the last confirmed unit below a failure
// after every cluster it tries, so that question is answered a word at a time.
class UnitBits {
 public:
  void set(std::int64_t from, std::int64_t to) {  // units [from, to)
    for (std::int64_t u = std::max<std::int64_t>(from, 0); u < to; ++u) {
      const auto w = static_cast<std::size_t>(u / 64);
      if (w >= words_.size()) words_.resize(w + 1, 0);
      words_[w] |= std::uint64_t{1} << (u % 64);
    }
  }
  [[nodiscard]] bool any(std::int64_t from, std::int64_t to) const {
    for (std::int64_t u = std::max<std::int64_t>(from, 0); u < to; ++u) {
      const auto w = static_cast<std::size_t>(u / 64);
      if (w >= words_.size()) return false;
      if (words_[w] >> (u % 64) & 1) return true;
    }
    return false;
  }
  // The highest set unit below `u`, or -1.
  [[nodiscard]] std::int64_t lastBelow(std::int64_t u) const {
    if (u <= 0 || words_.empty()) return -1;
    const std::int64_t top = std::min<std::int64_t>(u, static_cast<std::int64_t>(words_.size()) * 64);
    auto w = static_cast<std::size_t>((top - 1) / 64);
    const int bitsInTop = static_cast<int>((top - 1) % 64) + 1;
    std::uint64_t word = words_[w] & (bitsInTop == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bitsInTop) - 1);
    while (true) {
      if (word != 0) return static_cast<std::int64_t>(w) * 64 + 63 - std::countl_zero(word);
      if (w == 0) return -1;
      word = words_[--w];
    }
  }

 private:
  std::vector<std::uint64_t> words_;
};

struct CompoundFragmentCheck::State {
  std::int64_t size = 0;
  std::int64_t firstPiece = 0;
  std::vector<std::int64_t> takeStarts;  // file offset of each piece taken
  std::uint32_t nextSector = 0;  // compound sectors below it were looked at
  std::shared_ptr<const Layout> layout;
  std::vector<Walk> walks;
  UnitBits confirmed;            // per 512 bytes of the file
  std::uint64_t decoded = 0;
  bool done = false;
};

CompoundFragmentCheck::CompoundFragmentCheck() : st_(std::make_unique<State>()) {}
CompoundFragmentCheck::~CompoundFragmentCheck() = default;

void CompoundFragmentCheck::hint(std::uint32_t sector, Bytes bytes) {
  if (bytes.empty()) return;
  hints_[sector].assign(bytes.begin(), bytes.end());
}

std::uint64_t CompoundFragmentCheck::decodedBytes() const { return st_->decoded; }

Bytes CompoundFragmentCheck::document() const {
  if (!st_->layout || !st_->layout->fatKnown || st_->size < st_->layout->length) return {};
  return Bytes(file_.data(), static_cast<std::size_t>(st_->layout->length));
}

bool CompoundFragmentCheck::confirmed(std::int64_t offset, std::int64_t n) const {
  return st_->confirmed.any(offset / kUnit, (offset + n + kUnit - 1) / kUnit);
}

void CompoundFragmentCheck::save(std::size_t slot) {
  if (slots_.size() <= slot) slots_.resize(slot + 1);
  slots_[slot] = std::make_unique<State>(*st_);
}

void CompoundFragmentCheck::load(std::size_t slot) {
  if (slot >= slots_.size() || !slots_[slot]) {
    st_->done = true;
    return;
  }
  *st_ = *slots_[slot];
  file_.resize(static_cast<std::size_t>(st_->size));
}

void CompoundFragmentCheck::forget(std::size_t slot) {
  if (slot < slots_.size()) slots_[slot].reset();
}

void CompoundFragmentCheck::confirm(std::int64_t offset, std::int64_t n) {
  st_->confirmed.set(offset / kUnit, (offset + n + kUnit - 1) / kUnit);
}

// A check failed at file offset `offset`: the fault lies there or in the stretch just
// before it that no check looked into.
// Wrong bytes may pass a check or two by chance, so the blame goes back to the start of the
// piece taken in which that stretch begins.
std::int64_t CompoundFragmentCheck::blameAt(std::int64_t offset) const {
  const std::int64_t u = st_->confirmed.lastBelow(offset / kUnit) + 1;
  const std::vector<std::int64_t>& starts = st_->takeStarts;
  const auto piece = std::upper_bound(starts.begin(), starts.end(), u * kUnit);
  const std::int64_t from = piece == starts.begin() ? 0 : *(piece - 1);
  return std::max(from, st_->firstPiece);
}

FragmentVerdict CompoundFragmentCheck::broken(std::int64_t offset) {
  blame_ = blameAt(offset);
  return FragmentVerdict::Broken;
}

std::optional<Bytes> CompoundFragmentCheck::hintFor(std::uint32_t n) const {
  const auto hint = hints_.find(n);
  if (hint == hints_.end() || std::ssize(hint->second) != st_->layout->header.sectorBytes) return std::nullopt;
  return Bytes(hint->second);
}

std::optional<Bytes> CompoundFragmentCheck::sectorBytes(std::uint32_t n) const {
  const Header& h = st_->layout->header;
  if (h.sectorEnd(n) <= st_->size) return Bytes(file_.data() + h.sectorOffset(n), static_cast<std::size_t>(h.sectorBytes));
  if (const std::optional<Bytes> hint = hintFor(n)) return hint;
  return std::nullopt;
}

FragmentVerdict CompoundFragmentCheck::take(Bytes cluster) {
  if (st_->done) return FragmentVerdict::Broken;
  st_->takeStarts.push_back(st_->size);
  file_.insert(file_.end(), cluster.begin(), cluster.end());
  st_->size += static_cast<std::int64_t>(cluster.size());
  if (!st_->layout) {
    st_->firstPiece = st_->size;
    const std::optional<Header> h = readHeader(file_);
    // A DIFAT chain (files over 7 MiB) is left to the ordinary carve.
    if (!h || h->difatSectors != 0 || (h->firstDifatSector != kEndOfChain && h->firstDifatSector != kFreeSector)) {
      blame_ = 0;
      return FragmentVerdict::Broken;
    }
    auto layout = std::make_shared<Layout>();
    layout->header = *h;
    for (std::size_t i = 0; i < ole2::kHeaderDifatEntries; ++i) {
      const std::uint32_t e = le32(file_, ole2::kHeaderDifatOffset + 4 * i);
      if (e == kFreeSector) break;
      layout->fatList.push_back(e);
    }
    if (layout->fatList.empty() || layout->fatList.size() != h->fatSectors) {
      blame_ = 0;
      return FragmentVerdict::Broken;
    }
    st_->layout = std::move(layout);
    confirm(0, ole2::kHeaderBytes);
  }
  return advance();
}

bool CompoundFragmentCheck::checkSector(std::uint32_t n) {
  const Layout& l = *st_->layout;
  const Header& h = l.header;
  const Bytes s(file_.data() + h.sectorOffset(n), static_cast<std::size_t>(h.sectorBytes));
  if (l.fatKnown && static_cast<std::int64_t>(n) >= l.sectorCount) return true;  // past the file: slack
  if (const std::optional<Bytes> hint = hintFor(n)) {
    if (!std::equal(s.begin(), s.end(), hint->begin(), hint->end())) return false;
    confirm(h.sectorOffset(n), h.sectorBytes);
    return true;
  }
  const auto fat = std::find(l.fatList.begin(), l.fatList.end(), n);
  if (fat != l.fatList.end()) {
    if (!looksLikeFatSector(s, static_cast<std::size_t>(fat - l.fatList.begin()), l.fatList)) return false;
    confirm(h.sectorOffset(n), h.sectorBytes);
    return true;
  }
  const bool directory = l.dirKnown ? std::find(l.dirChain.begin(), l.dirChain.end(), n) != l.dirChain.end()
                                    : n == h.firstDirectorySector;
  if (directory) {
    if (!looksLikeDirectorySector(s, n == h.firstDirectorySector)) return false;
    confirm(h.sectorOffset(n), h.sectorBytes);
  }
  return true;
}

FragmentVerdict CompoundFragmentCheck::advance() {
  const Header& h = st_->layout->header;
  while (h.sectorEnd(st_->nextSector) <= st_->size) {
    if (!checkSector(st_->nextSector)) return broken(h.sectorOffset(st_->nextSector));
    ++st_->nextSector;
  }
  if (!st_->layout->fatKnown && !learnFat()) return FragmentVerdict::Broken;
  if (st_->layout->fatKnown && !st_->layout->dirKnown && !learnDirectory()) return FragmentVerdict::Broken;
  if (st_->layout->dirKnown && !runWalks()) return FragmentVerdict::Broken;
  if (st_->layout->fatKnown && st_->size >= st_->layout->length) return finish();
  return FragmentVerdict::Consistent;
}

bool CompoundFragmentCheck::learnFat() {
  const Layout& l = *st_->layout;
  std::vector<std::uint32_t> fat;
  for (std::size_t k = 0; k < l.fatList.size(); ++k) {
    const std::optional<Bytes> s = sectorBytes(l.fatList[k]);
    if (!s) return true;  // not yet
    for (std::size_t i = 0; i + 4 <= s->size(); i += 4) fat.push_back(le32(*s, i));
  }
  auto next = std::make_shared<Layout>(l);
  next->fat = std::move(fat);
  next->fatKnown = true;
  Fat f;
  f.entries = next->fat;
  next->length = describedLength(l.header, f);
  next->sectorCount = next->length / l.header.sectorBytes - 1;
  const std::int64_t at = l.header.sectorOffset(l.fatList.back());
  if (next->length <= 0 || next->length > ole2::kMaxDocumentBytes) return refuse(at);
  for (std::uint32_t s : l.fatList)
    if (static_cast<std::int64_t>(s) >= next->sectorCount) return refuse(at);
  for (std::int64_t i = 0; i < next->sectorCount; ++i) {
    const std::uint32_t v = next->fat[static_cast<std::size_t>(i)];
    if (!special(v) && static_cast<std::int64_t>(v) >= next->sectorCount) return refuse(at);
  }
  st_->layout = std::move(next);
  return true;
}

bool CompoundFragmentCheck::learnDirectory() {
  const Layout& l = *st_->layout;
  const Header& h = l.header;
  std::vector<std::uint32_t> chain;
  const std::int64_t at = h.sectorOffset(l.fatList.back());
  if (!followChain(l.fat, h.firstDirectorySector, l.sectorCount, kMaxDirectorySectors, chain).empty()) return refuse(at);
  std::vector<std::uint8_t> dir;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::optional<Bytes> s = sectorBytes(chain[i]);
    if (!s) return true;  // not yet
    if (!looksLikeDirectorySector(*s, i == 0)) return refuse(h.sectorOffset(chain[i]));
    dir.insert(dir.end(), s->begin(), s->end());
  }
  auto next = std::make_shared<Layout>(l);
  next->dirChain = chain;
  next->dirKnown = true;
  next->entries = parseDirectory(dir);
  next->chains.resize(next->entries.size());
  next->sizes.resize(next->entries.size());
  std::vector<Walk> walks;
  const std::int64_t dirAt = h.sectorOffset(chain.front());
  for (std::size_t i = 0; i < next->entries.size(); ++i) {
    const DirEntry& e = next->entries[i];
    const std::uint64_t size = h.majorVersion == 4 ? e.size : (e.size & 0xFFFFFFFFu);
    if (e.type != ole2::kEntryStream || size < h.miniStreamCutoff) continue;
    if (size > static_cast<std::uint64_t>(next->length)) return refuse(dirAt);
    if (!followChain(next->fat, e.startSector, next->sectorCount, static_cast<std::size_t>(next->sectorCount), next->chains[i]).empty() ||
        next->chains[i].size() != ceilDiv(size, static_cast<std::uint64_t>(h.sectorBytes)))
      return refuse(dirAt);
    next->sizes[i] = size;
    Walk w;
    w.stream = i;
    w.end = static_cast<std::int64_t>(size);
    if (e.nameIs("Workbook") || e.nameIs("Book")) w.kind = WalkKind::Biff;
    else if (e.nameIs("PowerPoint Document") || e.nameIs("Pictures")) w.kind = WalkKind::Records;
    else if (e.nameIs("\x05SummaryInformation") || e.nameIs("\x05" "DocumentSummaryInformation")) w.kind = WalkKind::PropertySet;
    else if (e.nameIs("WordDocument")) w.kind = WalkKind::WordSetup;
    if (w.kind != WalkKind::Done) walks.push_back(std::move(w));
  }
  for (std::uint32_t s : chain)
    if (h.sectorEnd(s) <= st_->size) confirm(h.sectorOffset(s), h.sectorBytes);
  st_->layout = std::move(next);
  st_->walks = std::move(walks);
  return true;
}

namespace {

// Reads stream bytes as far as the file is assembled.
class StreamView {
 public:
  StreamView(const std::vector<std::uint8_t>& file, std::int64_t size, std::int64_t sectorBytes, const std::vector<std::uint32_t>& chain,
             std::uint64_t streamSize)
      : file_(file), size_(size), sb_(sectorBytes), chain_(chain), streamSize_(static_cast<std::int64_t>(streamSize)) {}

  [[nodiscard]] std::int64_t fileOffset(std::int64_t pos) const {
    const auto i = static_cast<std::size_t>(pos / sb_);
    if (i >= chain_.size()) return sb_ * (std::int64_t{chain_.back()} + 2);
    return sb_ * (std::int64_t{chain_[i]} + 1) + pos % sb_;
  }
  // Bytes [pos, pos + n) of the stream into out; false when any is not assembled yet.
  [[nodiscard]] bool read(std::int64_t pos, std::size_t n, std::uint8_t* out) const {
    if (pos < 0 || pos + static_cast<std::int64_t>(n) > streamSize_) return false;
    for (std::size_t k = 0; k < n;) {
      const std::int64_t at = fileOffset(pos + static_cast<std::int64_t>(k));
      const std::size_t run = std::min<std::size_t>(n - k, static_cast<std::size_t>(sb_ - (pos + static_cast<std::int64_t>(k)) % sb_));
      if (at + static_cast<std::int64_t>(run) > size_) return false;
      std::copy_n(file_.begin() + static_cast<std::ptrdiff_t>(at), run, out + k);
      k += run;
    }
    return true;
  }
  // How many bytes from pos on are assembled and contiguous in one sector.
  [[nodiscard]] std::int64_t runAt(std::int64_t pos) const {
    if (pos >= streamSize_) return 0;
    const std::int64_t at = fileOffset(pos);
    const std::int64_t run = std::min(sb_ - pos % sb_, streamSize_ - pos);
    return at + run <= size_ ? run : 0;
  }
  [[nodiscard]] const std::uint8_t* at(std::int64_t pos) const { return file_.data() + fileOffset(pos); }
  [[nodiscard]] std::int64_t size() const { return streamSize_; }

 private:
  const std::vector<std::uint8_t>& file_;
  std::int64_t size_;
  std::int64_t sb_;
  const std::vector<std::uint32_t>& chain_;
  std::int64_t streamSize_;
};

enum class Step { Wait, Done, Fail };

struct WalkResult {
  Step step = Step::Wait;
  std::int64_t failAt = 0;  // stream offset
};

}  // namespace

bool CompoundFragmentCheck::runWalks() {
  const Layout& l = *st_->layout;
  const std::int64_t sb = l.header.sectorBytes;
  std::vector<Walk> added;
  for (Walk& w : st_->walks) {
    if (w.kind == WalkKind::Done) continue;
    const StreamView v(file_, st_->size, sb, l.chains[w.stream], l.sizes[w.stream]);
    // Confirms stream bytes [pos, pos + n).
    auto ok = [&](std::int64_t pos, std::int64_t n) {
      for (std::int64_t k = pos; k < pos + n;) {
        const std::int64_t run = std::min(pos + n - k, sb - k % sb);
        confirm(v.fileOffset(k), run);
        k += run;
      }
      st_->decoded += static_cast<std::uint64_t>(n);
    };
    std::uint8_t b[512];
    WalkResult r;
    for (bool going = true; going;) {
      switch (w.kind) {
        case WalkKind::Done:
          going = false;
          break;
        case WalkKind::Biff: {
          if (w.pos >= w.end) {
            w.kind = WalkKind::Done;
            break;
          }
          if (w.end - w.pos < 4) {
            w.kind = WalkKind::Zero;
            break;
          }
          if (!v.read(w.pos, 4, b)) {
            going = false;
            break;
          }
          const std::uint16_t type = le16(Bytes(b, 4), 0), len = le16(Bytes(b, 4), 2);
          if (type == 0 && len == 0) {
            w.kind = WalkKind::Zero;  // padding after the last record
            break;
          }
          if (type == 0 || type > kMaxBiffType || len > kMaxBiffRecord || w.pos + 4 + len > w.end) {
            r = {Step::Fail, w.pos};
            going = false;
            break;
          }
          ok(w.pos, 4);
          w.pos += 4 + len;
          break;
        }
        case WalkKind::Records: {
          while (!w.ends.empty() && w.pos == w.ends.back()) w.ends.pop_back();
          if (w.pos >= w.end) {
            w.kind = WalkKind::Done;
            break;
          }
          const std::int64_t limit = w.ends.empty() ? w.end : w.ends.back();
          if (w.ends.empty() && w.end - w.pos < 8) {
            w.kind = WalkKind::Zero;
            break;
          }
          if (!v.read(w.pos, 8, b)) {
            going = false;
            break;
          }
          const Bytes hb(b, 8);
          const std::uint16_t verInst = le16(hb, 0), type = le16(hb, 2);
          const std::uint32_t len = le32(hb, 4);
          if (w.ends.empty() && verInst == 0 && type == 0 && len == 0) {
            w.kind = WalkKind::Zero;
            break;
          }
          if (!recordType(type) || w.pos + 8 + static_cast<std::int64_t>(len) > limit) {
            r = {Step::Fail, w.pos};
            going = false;
            break;
          }
          ok(w.pos, 8);
          if ((verInst & 0xF) == 0xF) {
            w.ends.push_back(w.pos + 8 + len);
            w.pos += 8;
          } else {
            w.pos += 8 + len;
          }
          break;
        }
        case WalkKind::Zero: {
          const std::int64_t run = v.runAt(w.pos);
          if (w.pos >= w.end) {
            w.kind = WalkKind::Done;
            break;
          }
          if (run == 0) {
            going = false;
            break;
          }
          const std::uint8_t* p = v.at(w.pos);
          if (std::any_of(p, p + run, [](std::uint8_t c) { return c != 0; })) {
            r = {Step::Fail, w.pos};
            going = false;
            break;
          }
          ok(w.pos, run);
          w.pos += run;
          break;
        }
        case WalkKind::PropertySet: {
          // Header, section list and each section's size and count; zeros after the last.
          if (!v.read(0, 48, b)) {
            going = false;
            break;
          }
          const Bytes hb(b, 48);
          const std::uint32_t sections = le32(hb, 24);
          if (le16(hb, 0) != 0xFFFE) {
            r = {Step::Fail, 0};
            going = false;
            break;
          }
          if (le16(hb, 2) > 1 || sections == 0 || sections > 2) {
            ok(0, 2);
            w.kind = WalkKind::Done;
            break;
          }
          std::uint8_t list[40];
          if (!v.read(28, 20 * sections, list)) {
            going = false;
            break;
          }
          std::int64_t last = 0;
          bool fine = true;
          bool wait = false;
          for (std::uint32_t k = 0; k < sections && fine; ++k) {
            const std::uint32_t off = le32(Bytes(list, 40), 20 * k + 16);
            std::uint8_t sh[8];
            if (off < 28 + 20 * sections || off + 8 > w.end) fine = false;
            else if (!v.read(off, 8, sh)) wait = true;
            else {
              const std::uint32_t size = le32(Bytes(sh, 8), 0), count = le32(Bytes(sh, 8), 4);
              if (size < 8 || off + size > w.end || count > (size - 8) / 8) fine = false;
              else {
                ok(off, 8);
                last = std::max<std::int64_t>(last, off + size);
              }
            }
            if (wait) break;
          }
          if (!fine) {
            // Sections not where the list says: some writers get them wrong. The byte order
            // mark was right; the rest is not looked into.
            ok(0, 2);
            w.kind = WalkKind::Done;
            break;
          }
          if (wait) {
            going = false;
            break;
          }
          ok(0, 48);
          w.pos = last;
          w.kind = WalkKind::Zero;
          break;
        }
        case WalkKind::WordSetup: {
          const std::size_t fibBytes = kFibFcLcbOffset + 8 * (kFcLcbClx + 1);
          if (!v.read(0, fibBytes, b)) {
            going = false;
            break;
          }
          const Bytes fib(b, fibBytes);
          if (le16(fib, 0) != kWordIdent || le16(fib, 2) < kFirstWord97Fib || le16(fib, kFibFcLcbCountOffset) <= kFcLcbClx) {
            w.kind = WalkKind::Done;  // an older Word: its text is not looked into
            break;
          }
          if ((le16(fib, kFibFlagsOffset) & kFibEncrypted) != 0) {
            w.kind = WalkKind::Done;  // encrypted text has no shape to check
            break;
          }
          const bool one = (le16(fib, kFibFlagsOffset) & kFibWhichTable) != 0;
          std::size_t table = l.entries.size();
          for (std::size_t i = 0; i < l.entries.size(); ++i)
            if (l.entries[i].type == ole2::kEntryStream && l.entries[i].nameIs(one ? "1Table" : "0Table")) table = i;
          if (table == l.entries.size() || l.chains[table].empty()) {
            w.kind = WalkKind::Done;  // a table stream in the mini stream is not looked into
            break;
          }
          const StreamView t(file_, st_->size, sb, l.chains[table], l.sizes[table]);
          auto fcLcb = [&](std::size_t k, std::uint32_t& fc, std::uint32_t& lcb) {
            fc = le32(fib, kFibFcLcbOffset + 8 * k);
            lcb = le32(fib, kFibFcLcbOffset + 8 * k + 4);
          };
          std::uint32_t fc = 0, lcb = 0;
          fcLcb(kFcLcbClx, fc, lcb);
          if (lcb == 0 || fc + static_cast<std::uint64_t>(lcb) > static_cast<std::uint64_t>(t.size())) {
            r = {Step::Fail, 0};
            going = false;
            break;
          }
          std::vector<std::uint8_t> clx(lcb);
          if (!t.read(fc, lcb, clx.data())) {
            going = false;
            break;
          }
          // Clx: property runs (1, size, bytes) then the piece table (2, size, CPs, pieces).
          std::size_t p = 0;
          while (p < clx.size() && clx[p] == 1) p += 3 + static_cast<std::size_t>(le16(clx, p + 1));
          const std::uint32_t plcBytes = p + 5 <= clx.size() && clx[p] == 2 ? le32(clx, p + 1) : 0;
          const std::uint32_t pieces = plcBytes >= 16 && (plcBytes - 4) % 12 == 0 ? (plcBytes - 4) / 12 : 0;
          bool fine = pieces > 0 && p + 5 + plcBytes <= clx.size() && le32(clx, p + 5) == 0;
          Walk text;
          text.kind = WalkKind::Text;
          text.stream = w.stream;
          text.end = w.end;
          for (std::uint32_t i = 0; fine && i < pieces; ++i) {
            const std::uint32_t cp = le32(clx, p + 5 + 4 * i), cpNext = le32(clx, p + 5 + 4 * (i + 1));
            const std::uint32_t pfc = le32(clx, p + 5 + 4 * (pieces + 1) + 8 * i + 2);
            const bool compressed = (pfc & 0x40000000u) != 0;
            const std::int64_t start = compressed ? (pfc & 0x3FFFFFFFu) / 2 : pfc;
            const std::int64_t bytes = static_cast<std::int64_t>(cpNext - cp) * (compressed ? 1 : 2);
            if (cpNext <= cp || start + bytes > w.end) fine = false;
            else text.items.push_back({start, bytes, compressed ? 1 : 2});
          }
          // Formatting pages: the bin tables' FCs ascend and their pages lie in the stream.
          Walk fkp;
          fkp.kind = WalkKind::Fkp;
          fkp.stream = w.stream;
          fkp.end = w.end;
          for (std::size_t k : {kFcLcbBteChpx, kFcLcbBtePapx}) {
            std::uint32_t bfc = 0, blcb = 0;
            fcLcb(k, bfc, blcb);
            if (!fine || blcb == 0) continue;
            const std::uint32_t n = blcb >= 12 && (blcb - 4) % 8 == 0 ? (blcb - 4) / 8 : 0;
            std::vector<std::uint8_t> plc(blcb);
            if (n == 0 || bfc + static_cast<std::uint64_t>(blcb) > static_cast<std::uint64_t>(t.size())) {
              fine = false;
              break;
            }
            if (!t.read(bfc, blcb, plc.data())) {
              going = false;
              break;
            }
            for (std::uint32_t i = 0; fine && i < n; ++i) {
              const std::uint32_t pn = le32(plc, 4 * (n + 1) + 4 * i);
              if (le32(plc, 4 * i) >= le32(plc, 4 * (i + 1)) || (std::int64_t{pn} + 1) * kFkpBytes > w.end) fine = false;
              else fkp.items.push_back({std::int64_t{pn} * kFkpBytes, k == kFcLcbBteChpx ? kMaxChpxRuns : kMaxPapxRuns, 0});
            }
            if (fine) {
              for (std::int64_t q = bfc; q < std::int64_t{bfc} + blcb; q += t.runAt(q) > 0 ? t.runAt(q) : 1)
                if (t.runAt(q) > 0) confirm(t.fileOffset(q), std::min<std::int64_t>(t.runAt(q), bfc + blcb - q));
            }
          }
          if (!going) break;
          if (!fine) {
            r = {Step::Fail, 0};
            going = false;
            break;
          }
          ok(0, static_cast<std::int64_t>(fibBytes));
          std::sort(fkp.items.begin(), fkp.items.end());
          added.push_back(std::move(text));
          added.push_back(std::move(fkp));
          w.kind = WalkKind::Done;
          break;
        }
        case WalkKind::Text: {
          if (w.item >= w.items.size()) {
            w.kind = WalkKind::Done;
            break;
          }
          const auto& piece = w.items[w.item];
          const std::int64_t pieceEnd = piece[0] + piece[1];
          if (w.pos < piece[0]) w.pos = piece[0];
          if (w.pos >= pieceEnd) {
            ++w.item;
            break;
          }
          const std::int64_t run = std::min(v.runAt(w.pos), pieceEnd - w.pos) & ~std::int64_t{piece[2] - 1};
          if (run <= 0) {
            going = false;
            break;
          }
          const std::uint8_t* c = v.at(w.pos);
          std::int64_t k = 0;
          bool bad = false;
          for (; k < run && !bad; k += piece[2]) {
            const std::uint32_t ch = piece[2] == 1 ? c[k] : static_cast<std::uint32_t>(c[k] | (c[k + 1] << 8));
            if (ch < 0x20 && !wordControl(ch)) bad = true;
            if (piece[2] == 2 && ch >= 0xFFFE) bad = true;
            if (piece[2] == 2 && ch >= 0xD800 && ch < 0xE000) {
              // A surrogate pair, whole in this run; at its end the pair is looked at next time.
              if (ch >= 0xDC00) bad = true;
              else if (k + 4 > run) break;
              else {
                const std::uint32_t low = static_cast<std::uint32_t>(c[k + 2] | (c[k + 3] << 8));
                if (low < 0xDC00 || low >= 0xE000) bad = true;
                else k += 2;
              }
            }
          }
          if (bad) {
            r = {Step::Fail, w.pos + k - piece[2]};
            going = false;
            break;
          }
          if (k == 0) {
            going = false;
            break;
          }
          ok(w.pos, k);
          w.pos += k;
          break;
        }
        case WalkKind::Fkp: {
          if (w.item >= w.items.size()) {
            w.kind = WalkKind::Done;
            break;
          }
          const auto& page = w.items[w.item];
          if (!v.read(page[0], kFkpBytes, b)) {
            going = false;
            break;
          }
          const Bytes pg(b, kFkpBytes);
          const std::uint8_t runs = pg[kFkpBytes - 1];
          bool fine = runs >= 1 && runs <= page[1];
          for (std::uint8_t i = 0; fine && i < runs; ++i)
            if (le32(pg, 4u * i) >= le32(pg, 4u * (i + 1u)) || le32(pg, 4u * (i + 1u)) > static_cast<std::uint64_t>(w.end)) fine = false;
          // Each run's property offset (in 16-bit words) is 0 or points past the arrays.
          const std::size_t arrays = 4u * (runs + 1u);
          const std::size_t stride = page[1] == kMaxChpxRuns ? 1 : 13;
          for (std::uint8_t i = 0; fine && i < runs; ++i) {
            const std::size_t off = 2u * pg[arrays + stride * i];
            if (off != 0 && (off < arrays + stride * runs || off >= kFkpBytes - 1)) fine = false;
          }
          if (!fine) {
            r = {Step::Fail, page[0]};
            going = false;
            break;
          }
          ok(page[0], static_cast<std::int64_t>(arrays + stride * runs));
          ok(page[0] + kFkpBytes - 1, 1);
          ++w.item;
          break;
        }
      }
    }
    if (r.step == Step::Fail) {
      const std::int64_t at = v.fileOffset(r.failAt);
      blame_ = blameAt(at);
      return false;
    }
  }
  for (Walk& w : added) st_->walks.push_back(std::move(w));
  if (!added.empty()) return runWalks();
  return true;
}

FragmentVerdict CompoundFragmentCheck::finish() {
  const Layout& l = *st_->layout;
  st_->done = true;
  const std::int64_t end = l.length - 1;
  if (!l.dirKnown) return broken(end);
  for (const Walk& w : st_->walks)
    if (w.kind != WalkKind::Done) return broken(end);
  Fat fat;
  fat.entries = l.fat;
  fat.fatSectors = l.fatList;
  if (!checkStructure(Bytes(file_.data(), static_cast<std::size_t>(l.length)), l.length, l.header, fat, l.entries).empty())
    return broken(end);
  return FragmentVerdict::Complete;
}

}  // namespace vellumark::cfb

namespace vellumark::cfb {

namespace {

// Where the file's bytes would lie: the first, possibly shorter, piece up to the end of the
// start sector's cluster, then whole clusters.
struct Placement {
  std::int64_t spc = 1;
  std::int64_t clusterBytes = 0;
  std::int64_t firstCluster = 0;
  std::int64_t firstPiece = 0;
  Placement(const GapSearchGeometry& g, std::int64_t startSector)
      : spc(std::max<std::int64_t>(1, g.sectorsPerCluster)), clusterBytes(spc * g.bytesPerSector),
        firstCluster(floorDiv(startSector - g.clusterPhase, spc)),
        firstPiece(((firstCluster + 1) * spc + g.clusterPhase - startSector) * g.bytesPerSector) {}
  [[nodiscard]] std::int64_t clusterIndexOf(std::int64_t offset) const {
    return offset < firstPiece ? 0 : 1 + (offset - firstPiece) / clusterBytes;
  }
  [[nodiscard]] std::int64_t inCluster(std::int64_t offset) const { return (offset - firstPiece) % clusterBytes; }
};

struct Wanted {
  std::uint32_t sector = 0;
  std::size_t index = 0;  // FAT sector index, or 0 for the first directory sector
  std::vector<std::uint8_t> bytes;
};

bool clusterFree(const UsedSectorMap& claims, const GapSearchGeometry& g, std::int64_t first, std::int64_t spc) {
  if (first < g.firstSector || first + spc - 1 > g.lastSector) return false;
  for (std::int64_t s = first; s < first + spc; ++s)
    if (claims.isSectorUsed(s)) return false;
  return true;
}

// Clusters of no FAT's shape, remembered for the candidates after this one: headers of
// noise one after another would each look through the same clusters ahead.
constexpr std::uint8_t kNoFatTag = 0x80 | kTypeOle2;

// Fills in the bytes of every wanted sector: from the first piece, or from the nearest free
// cluster ahead whose bytes at the sector's place pass `shape`. With `memory`, clusters
// that cannot hold a FAT sector are passed over without reading them again, and so are those
// the first pass's `marks` say hold none. `firstHoldsNone` says that the candidate's own
// cluster holds no FAT sector either: the run remembered then begins there, so that the
// candidate below, whose look starts at it, jumps at once.
template <typename Shape>
void locate(std::vector<Wanted>& wanted, Bytes firstPiece, const Placement& p, std::int64_t sectorBytes, const UsedSectorMap& claims,
            CarveReader& reader, const GapSearchGeometry& g, std::int64_t maxClusters, Shape shape, CarveMemory* memory = nullptr,
            bool firstHoldsNone = false, const SectorMarks* marks = nullptr) {
  std::size_t open = 0;
  std::int64_t furthest = 0;
  for (Wanted& w : wanted) {
    const std::int64_t at = sectorBytes * (std::int64_t{w.sector} + 1);
    if (at + sectorBytes <= static_cast<std::int64_t>(firstPiece.size())) {
      w.bytes.assign(firstPiece.begin() + at, firstPiece.begin() + at + sectorBytes);
      continue;
    }
    ++open;
    furthest = std::max(furthest, p.clusterIndexOf(at));
  }
  const std::int64_t limit = std::min(maxClusters, 4 * furthest + 64);
  std::vector<std::uint8_t> cluster(static_cast<std::size_t>(p.clusterBytes));
  // A run of clusters known to hold no FAT sector, from runStart up to c: remembered by its
  // first cluster with its length, so that a later look jumps over it in one step.
  std::int64_t runStart = firstHoldsNone ? p.firstCluster : -1;
  auto endRun = [&](std::int64_t c) {
    if (memory != nullptr && runStart >= 0 && c > runStart)
      memory->remember(kNoFatTag, (runStart * p.spc + g.clusterPhase) * g.bytesPerSector, CarveMemory::Failure{0, c - runStart});
    runStart = -1;
  };
  // No cluster past the last one wholly inside the range is looked at.
  const std::int64_t lastCluster = floorDiv(g.lastSector + 1 - g.clusterPhase, p.spc) - 1;
  const std::int64_t end = std::min(p.firstCluster + limit, lastCluster);
  std::int64_t c = p.firstCluster + 1;
  for (; open > 0 && c <= end; ++c) {
    const std::int64_t first = c * p.spc + g.clusterPhase;
    const std::int64_t offset = first * g.bytesPerSector;
    if (memory != nullptr) {
      if (const std::optional<CarveMemory::Failure> known = memory->recall(kNoFatTag, offset); known && known->distance > 0) {
        if (runStart < 0) runStart = c;
        c += known->distance - 1;
        continue;
      }
    }
    const bool free = clusterFree(claims, g, first, p.spc);
    // A cluster the first pass found no FAT sector in is passed over as if read.
    if (free && memory != nullptr && marks != nullptr && marks->noneWanted(first, p.spc)) {
      if (runStart < 0) runStart = c;
      continue;
    }
    if (!free || !reader.read(offset, cluster)) {
      endRun(c);
      if (free) continue;
      // Claimed clusters are passed over at once, up to the one of the next free sector.
      const std::int64_t next = claims.freeSectorAfter(first, 0, g.lastSector);
      if (next < 0) break;
      c = std::max(c, floorDiv(next - g.clusterPhase, p.spc) - 1);
      continue;
    }
    if (memory != nullptr && !mayHoldFatSector(cluster)) {
      if (runStart < 0) runStart = c;
      continue;
    }
    endRun(c);
    for (Wanted& w : wanted) {
      if (!w.bytes.empty()) continue;
      const Bytes s = Bytes(cluster).subspan(static_cast<std::size_t>(p.inCluster(sectorBytes * (std::int64_t{w.sector} + 1))),
                                             static_cast<std::size_t>(sectorBytes));
      if (!shape(s, w)) continue;
      w.bytes.assign(s.begin(), s.end());
      --open;
    }
  }
  endRun(c);
}

// Whether the candidate's whole first cluster is free and holds no FAT sector, from its bytes
// or, before they are read, from the note the first pass made (the header sector itself never
// could: its first entry is the signature).
bool firstClusterHoldsNoFat(const UsedSectorMap& claims, const GapSearchGeometry& g, const Placement& p, std::int64_t startSector,
                            Bytes first, const NotedHeader* noted) {
  if (p.firstPiece != p.clusterBytes || !clusterFree(claims, g, startSector, p.spc)) return false;
  if (!first.empty()) return !mayHoldFatSector(first);
  return noted != nullptr && g.bytesPerSector == kNotedSectorBytes && noted->sectorsWithoutFat >= p.spc - 1;
}

// The FAT sectors of `fatList` looked for ahead, their bytes put into `fat`.
struct FatLook {
  const UsedSectorMap& claims;
  CarveReader& reader;
  const GapSearchGeometry& g;
  const Placement& p;
  std::int64_t startSector;
  std::int64_t maxClusters;
  const HintAids& aids;

  void run(std::vector<Wanted>& fat, const std::vector<std::uint32_t>& fatList, std::int64_t sectorBytes, Bytes first,
           const NotedHeader* noted) const {
    fat.clear();
    for (std::size_t k = 0; k < fatList.size(); ++k) fat.push_back(Wanted{fatList[k], k, {}});
    locate(fat, first, p, sectorBytes, claims, reader, g, maxClusters,
           [&](Bytes s, const Wanted& w) { return looksLikeFatSector(s, w.index, fatList); }, aids.memory,
           firstClusterHoldsNoFat(claims, g, p, startSector, first, noted), aids.marks);
  }
};

// A header noted with one FAT sector that lies past the first piece: that sector can be
// looked for before the header is read.
bool lookableUnread(const std::optional<NotedHeader>& noted, const Placement& p) {
  if (!noted || !noted->onlyFatSector) return false;
  const std::int64_t bytes = noted->header.sectorBytes;
  return bytes <= p.clusterBytes && p.clusterBytes % bytes == 0 && p.firstPiece % bytes == 0 &&
         noted->header.sectorEnd(noted->firstFatSector) > p.firstPiece;
}

}  // namespace

std::int64_t hintStructure(CompoundFragmentCheck& check, const UsedSectorMap& claims, CarveReader& reader, const GapSearchGeometry& g,
                           std::int64_t startSector, std::int64_t maxClusters, const HintAids& aids) {
  const Placement p(g, startSector);
  if (p.firstPiece < static_cast<std::int64_t>(ole2::kHeaderBytes)) return 0;
  const FatLook look{claims, reader, g, p, startSector, maxClusters, aids};
  std::vector<Wanted> fat;
  std::vector<std::uint32_t> fatList;
  // The FAT sector of a header of noise is found nowhere: looked for first, it turns the
  // header down without a read of its own.
  const std::optional<NotedHeader> noted = g.bytesPerSector == kNotedSectorBytes ? notedHeader(aids.note) : std::nullopt;
  // A FAT sector listed past the length limit makes a file the check refuses whatever the
  // pieces: no search, and no read, can make a document of it.
  if (noted && noted->firstFatSector > noted->header.initialSectorLimit()) return -1;
  std::int64_t foundWithSectorBytes = 0;
  if (lookableUnread(noted, p)) {
    fatList.push_back(noted->firstFatSector);
    look.run(fat, fatList, noted->header.sectorBytes, {}, &*noted);
    if (fat.front().bytes.empty()) return -1;
    foundWithSectorBytes = noted->header.sectorBytes;
  }
  std::vector<std::uint8_t> first(static_cast<std::size_t>(p.firstPiece));
  if (!reader.read(startSector * g.bytesPerSector, first)) return 0;
  const std::optional<Header> h = readHeader(first);
  if (!h || h->sectorBytes > p.clusterBytes || p.clusterBytes % h->sectorBytes != 0 || p.firstPiece % h->sectorBytes != 0) return 0;
  std::vector<std::uint32_t> listed;
  for (std::size_t i = 0; i < ole2::kHeaderDifatEntries; ++i) {
    const std::uint32_t e = le32(first, ole2::kHeaderDifatOffset + 4 * i);
    if (e == ole2::kFreeSector) break;
    listed.push_back(e);
  }
  if (listed.empty() || listed.size() != h->fatSectors) return 0;
  for (const std::uint32_t e : listed)
    if (e > h->initialSectorLimit()) return -1;
  // What was found before the read stands when the header is the one the note described.
  if (foundWithSectorBytes == 0 || listed != fatList || h->sectorBytes != foundWithSectorBytes) {
    fatList = std::move(listed);
    look.run(fat, fatList, h->sectorBytes, first, nullptr);
  }
  Fat table;
  for (const Wanted& w : fat) {
    if (w.bytes.empty()) return -1;
    for (std::size_t i = 0; i + 4 <= w.bytes.size(); i += 4) table.entries.push_back(le32(w.bytes, i));
  }
  const std::int64_t length = describedLength(*h, table);
  const std::int64_t sectorCount = length / h->sectorBytes - 1;
  std::vector<std::uint32_t> chain;
  if (!followChain(table.entries, h->firstDirectorySector, sectorCount, kMaxDirectorySectors, chain).empty()) {
    for (const Wanted& w : fat)
      if (h->sectorEnd(w.sector) > p.firstPiece) check.hint(w.sector, w.bytes);
    return length;
  }
  std::vector<Wanted> dir;
  for (std::size_t i = 0; i < chain.size(); ++i) dir.push_back(Wanted{chain[i], i, {}});
  locate(dir, first, p, h->sectorBytes, claims, reader, g, maxClusters,
         [](Bytes s, const Wanted& w) { return looksLikeDirectorySector(s, w.index == 0); });
  for (const std::vector<Wanted>* list : {&fat, &dir})
    for (const Wanted& w : *list)
      if (!w.bytes.empty() && h->sectorEnd(w.sector) > p.firstPiece) check.hint(w.sector, w.bytes);
  return length;
}

bool trustworthy(const CompoundFragmentCheck& check, const FragmentAssembly& assembly, const GapSearchGeometry& g,
                 std::int64_t startSector, std::int64_t length) {
  const Placement p(g, startSector);
  std::vector<std::int64_t> clusters;
  for (std::int64_t s : assembly.sectors) {
    const std::int64_t c = floorDiv(s - g.clusterPhase, p.spc);
    if (clusters.empty() || clusters.back() != c) clusters.push_back(c);
  }
  for (std::size_t i = 1; i < clusters.size(); ++i) {
    const std::int64_t from = p.firstPiece + static_cast<std::int64_t>(i - 1) * p.clusterBytes;
    if (from >= length || check.confirmed(from, std::min(p.clusterBytes, length - from))) continue;
    const std::int64_t in = clusters[i] - clusters[i - 1];
    if (i + 1 < clusters.size()) {
      if (clusters[i + 1] - clusters[i] != in) return false;
    } else if (in != 1 && i >= 2 && clusters[i - 1] - clusters[i - 2] != in) {
      return false;  // the last cluster: right after the one before, or in its stride
    }
  }
  return true;
}

}  // namespace vellumark::cfb
