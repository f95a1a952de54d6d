#include "carvers/zip_gap_search.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "carvers/markup_check.h"
#include "carvers/zip_walk_memory.h"
#include "formats/zip.h"
#include "util/crc32.h"

namespace vellumark::zip {

namespace {

enum class Phase { Record, Data, Descriptor, Done };

// Part names and extra fields as packages have them: a header that claims more is bytes of
// something else, refused before the walk waits for them.
constexpr std::size_t kMaxNameBytes = 1024;
constexpr std::size_t kMaxExtraBytes = 4096;

bool plausibleName(Bytes name) {
  for (std::uint8_t c : name)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

bool endsWithNoCase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  const std::string_view tail = s.substr(s.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const char c = tail[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != suffix[i]) return false;
  }
  return true;
}

// Parts that packages hold as XML text. Legacy drawing parts (.vml) are left out: office
// programs write them with markup no XML parser accepts.
bool markupPart(std::string_view name) { return endsWithNoCase(name, ".xml") || endsWithNoCase(name, ".rels"); }
bool worksheetPart(std::string_view name) { return name.starts_with("xl/worksheets/") && endsWithNoCase(name, ".xml"); }

// Output is inflated and judged this much at a time, so that wrong data is given up soon
// after the markup it decodes to breaks.
constexpr std::size_t kInflateChunkBytes = 1024;

}  // namespace

struct ZipFragmentCheck::Local {
  std::int64_t offset = 0;
  std::string name;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
};

// Everything the check knows, but the assembled bytes (only their count) and the inflater.
struct ZipFragmentCheck::State {
  std::int64_t size = 0;          // bytes assembled
  std::int64_t pos = 0;           // next byte to parse or to inflate
  Phase phase = Phase::Record;
  Local entry;                    // the entry being read
  bool descriptor = false;        // its sizes follow its data
  std::int64_t dataStart = 0;
  std::int64_t dataEnd = -1;      // -1 while a descriptor entry's data is read
  std::uint32_t crc = 0;          // of the entry's content so far
  bool markup = false;            // the entry is an XML part, its content judged as it comes
  MarkupCheck markupCheck;
  std::uint64_t produced = 0;
  bool inflating = false;         // the inflater holds this entry's stream
  std::size_t localCount = 0;
  std::size_t centralCount = 0;
  std::int64_t centralStart = -1;
  std::int64_t length = -1;
  std::uint64_t decoded = 0;
};

namespace {

// A raw deflate stream whose state can be copied.
struct RawInflate {
  z_stream z{};
  bool live = false;
  RawInflate() = default;
  ~RawInflate() { end(); }
  RawInflate(const RawInflate&) = delete;
  RawInflate& operator=(const RawInflate&) = delete;
  void end() {
    if (live) inflateEnd(&z);
    live = false;
  }
  bool reset() {
    if (live) return inflateReset(&z) == Z_OK;
    z = z_stream{};
    live = inflateInit2(&z, -MAX_WBITS) == Z_OK;
    return live;
  }
  bool copyFrom(RawInflate& other) {
    end();
    if (!other.live) return true;
    live = inflateCopy(&z, &other.z) == Z_OK;
    return live;
  }
};

}  // namespace

struct ZipFragmentCheck::Inflate : RawInflate {};

// The bytes of one take and the entries its walk checked whole. A piece on the present path
// keeps its bytes in the assembled file only; one that leaves the path while a saved state
// still needs it takes a copy of them along.
struct ZipFragmentCheck::Piece {
  PiecePtr parent;
  std::size_t index = 0;     // takes before this one
  std::int64_t offset = 0;   // in the file
  std::int64_t length = 0;
  std::size_t localsBefore = 0;
  std::vector<Local> locals;         // entries checked whole during this take
  std::vector<std::uint8_t> bytes;   // empty while on the present path
  Piece() = default;
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;
  // A long path is a long chain: it is let go link by link, not by recursion.
  ~Piece() {
    PiecePtr p = std::move(parent);
    while (p && p.use_count() == 1) {
      PiecePtr next = std::move(p->parent);
      p.reset();
      p = std::move(next);
    }
  }
};

struct ZipFragmentCheck::Slot {
  State state;
  Inflate inflate;
  PiecePtr tip;  // the last take of the path the state was saved on
};

ZipFragmentCheck::ZipFragmentCheck(std::int64_t maxBytes)
    : maxBytes_(maxBytes), st_(std::make_unique<State>()), z_(std::make_unique<Inflate>()), scratch_(kInflateChunkBytes) {}

ZipFragmentCheck::~ZipFragmentCheck() = default;

std::uint64_t ZipFragmentCheck::decodedBytes() const { return decodedWork_; }

Bytes ZipFragmentCheck::package() const {
  if (st_->length < 0) return {};
  return Bytes(file_.data(), static_cast<std::size_t>(st_->length));
}

Bytes ZipFragmentCheck::assembled() const { return Bytes(file_.data(), static_cast<std::size_t>(st_->size)); }

void ZipFragmentCheck::save(std::size_t slot) {
  if (slots_.size() <= slot) slots_.resize(slot + 1);
  if (!slots_[slot]) slots_[slot] = std::make_unique<Slot>();
  Slot& s = *slots_[slot];
  s.state = *st_;
  s.tip = path_.empty() ? nullptr : path_.back();
  if (st_->inflating) {
    if (!s.inflate.copyFrom(*z_)) s.state.phase = Phase::Done;  // out of memory: the slot refuses everything
  } else {
    s.inflate.end();
  }
}

void ZipFragmentCheck::load(std::size_t slot) {
  if (slot >= slots_.size() || !slots_[slot]) {
    st_->phase = Phase::Done;
    st_->length = -1;
    return;
  }
  Slot& s = *slots_[slot];
  *st_ = s.state;
  switchPath(s.tip);
  if (locals_.size() != st_->localCount || static_cast<std::int64_t>(file_.size()) != st_->size) st_->phase = Phase::Done;
  if (st_->inflating && !z_->copyFrom(s.inflate)) st_->phase = Phase::Done;
}

void ZipFragmentCheck::switchPath(const PiecePtr& tip) {
  // The pieces of the new path that the present one does not share, last first.
  std::vector<PiecePtr> missing;
  PiecePtr at = tip;
  while (at && (at->index >= path_.size() || path_[at->index] != at)) {
    missing.push_back(at);
    at = at->parent;
  }
  const std::size_t keep = at ? at->index + 1 : 0;
  while (path_.size() > keep) {
    PiecePtr& last = path_.back();
    // Still wanted by a saved state: its bytes go with it.
    if (last.use_count() > 1) {
      const auto from = file_.begin() + static_cast<std::ptrdiff_t>(last->offset);
      last->bytes.assign(from, from + static_cast<std::ptrdiff_t>(last->length));
    }
    path_.pop_back();
  }
  locals_.resize(keep == 0 ? 0 : path_.back()->localsBefore + path_.back()->locals.size());
  file_.resize(keep == 0 ? 0 : static_cast<std::size_t>(path_.back()->offset + path_.back()->length));
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    Piece& p = **it;
    file_.insert(file_.end(), p.bytes.begin(), p.bytes.end());
    std::vector<std::uint8_t>().swap(p.bytes);
    locals_.insert(locals_.end(), p.locals.begin(), p.locals.end());
    path_.push_back(*it);
  }
}

void ZipFragmentCheck::forget(std::size_t slot) {
  if (slot < slots_.size()) slots_[slot].reset();
}

FragmentVerdict ZipFragmentCheck::take(Bytes cluster) {
  // A state that already ended (or could not be restored) takes nothing more.
  if (st_->phase == Phase::Done) return FragmentVerdict::Broken;
  if (st_->size > maxBytes_) return FragmentVerdict::Broken;
  const std::int64_t from = st_->size;
  auto piece = std::make_shared<Piece>();
  piece->parent = path_.empty() ? nullptr : path_.back();
  piece->index = path_.size();
  piece->offset = from;
  piece->length = static_cast<std::int64_t>(cluster.size());
  piece->localsBefore = locals_.size();
  path_.push_back(std::move(piece));
  file_.insert(file_.end(), cluster.begin(), cluster.end());
  st_->size += static_cast<std::int64_t>(cluster.size());
  wholeEntry_ = false;
  const FragmentVerdict v = advance();
  Piece& taken = *path_.back();
  taken.locals.assign(locals_.begin() + static_cast<std::ptrdiff_t>(taken.localsBefore), locals_.end());
  if (v == FragmentVerdict::Broken) blame_ = blameFor(from);
  return v;
}

// A stored entry's bytes are settled only by its CRC-32, a deflate stream's stored blocks
// (up to 64 KiB) only by what follows them, its end only by the descriptor after it.
std::int64_t ZipFragmentCheck::blameFor(std::int64_t clusterStart) const {
  const State& s = *st_;
  // Huffman codes fall back into step a few symbols after wrong bytes, so a deflate stream
  // with a wrong stretch inside usually decodes to its end: sizes or CRC-32 that do not agree
  // there may be the fault of any cluster of the entry.
  if (wholeEntry_) return std::min(clusterStart, s.dataStart);
  // A descriptor that does not agree may follow a stream ended early by wrong bytes.
  if (s.phase == Phase::Record) return std::min(clusterStart, s.pos);
  if (s.entry.method == kMethodStored) return std::min(clusterStart, s.dataStart);
  return std::min(clusterStart, std::max(s.dataStart, s.pos - 65536));
}

FragmentVerdict ZipFragmentCheck::wholeEntryBroken() {
  wholeEntry_ = true;
  return FragmentVerdict::Broken;
}

bool ZipFragmentCheck::have(std::int64_t offset, std::int64_t n) const { return offset >= 0 && offset + n <= st_->size; }

FragmentVerdict ZipFragmentCheck::advance() {
  for (;;) {
    FragmentVerdict v = FragmentVerdict::Consistent;
    const std::int64_t before = st_->pos;
    const Phase phase = st_->phase;
    switch (phase) {
      case Phase::Record: v = record(); break;
      case Phase::Data: v = data(); break;
      case Phase::Descriptor: v = descriptor(); break;
      case Phase::Done: return FragmentVerdict::Broken;
    }
    if (v != FragmentVerdict::Consistent) return v;
    // No progress: more bytes are needed.
    if (st_->pos == before && st_->phase == phase) return FragmentVerdict::Consistent;
  }
}

HeaderVerdict judgeLocalHeader(Bytes h, std::int64_t pos, std::int64_t maxBytes) {
  if (h.size() < kLocalHeaderBytes) return HeaderVerdict::Short;
  const std::uint16_t flags = le16(h, kLocalFlagsOffset);
  const std::uint16_t method = le16(h, kLocalMethodOffset);
  const std::size_t nameLength = le16(h, kLocalNameLengthOffset);
  const std::size_t extraLength = le16(h, kLocalExtraLengthOffset);
  const auto header = static_cast<std::int64_t>(kLocalHeaderBytes + nameLength + extraLength);
  const bool descriptor = (flags & kFlagDataDescriptor) != 0;
  if ((flags & kFlagEncrypted) || nameLength == 0 || nameLength > kMaxNameBytes || extraLength > kMaxExtraBytes)
    return HeaderVerdict::Refused;
  if (method != kMethodStored && method != kMethodDeflated) return HeaderVerdict::Refused;
  if (static_cast<std::int64_t>(h.size()) < header) return HeaderVerdict::Short;
  if (!plausibleName(h.subspan(kLocalNameOffset, nameLength))) return HeaderVerdict::Refused;
  if (descriptor && method == kMethodStored) return HeaderVerdict::Refused;
  const std::uint32_t compressed = le32(h, kLocalCompressedSizeOffset);
  const std::uint32_t uncompressed = le32(h, kLocalUncompressedSizeOffset);
  if (!descriptor && (compressed == kZip64Marker || uncompressed == kZip64Marker)) return HeaderVerdict::Refused;
  if (method == kMethodStored && compressed != uncompressed) return HeaderVerdict::Refused;
  if (!descriptor && pos + header + static_cast<std::int64_t>(compressed) > maxBytes) return HeaderVerdict::Refused;
  return HeaderVerdict::Taken;
}

FragmentVerdict ZipFragmentCheck::record() {
  State& s = *st_;
  const Bytes f(file_.data(), static_cast<std::size_t>(s.size));
  if (!have(s.pos, 4)) return FragmentVerdict::Consistent;
  const auto at = static_cast<std::size_t>(s.pos);
  const std::uint32_t signature = le32(f, at);
  if (s.pos > maxBytes_) return FragmentVerdict::Broken;
  if (signature == kLocalHeader) {
    if (s.centralStart >= 0) return FragmentVerdict::Broken;
    switch (judgeLocalHeader(f.subspan(at), s.pos, maxBytes_)) {
      case HeaderVerdict::Refused: return FragmentVerdict::Broken;
      case HeaderVerdict::Short: return FragmentVerdict::Consistent;
      case HeaderVerdict::Taken: break;
    }
    const std::uint16_t method = le16(f, at + kLocalMethodOffset);
    const std::size_t nameLength = le16(f, at + kLocalNameLengthOffset);
    const auto header = static_cast<std::int64_t>(kLocalHeaderBytes + nameLength + le16(f, at + kLocalExtraLengthOffset));
    const bool descriptor = (le16(f, at + kLocalFlagsOffset) & kFlagDataDescriptor) != 0;
    Local e;
    e.offset = s.pos;
    e.method = method;
    e.crc = le32(f, at + kLocalCrcOffset);
    e.compressedSize = le32(f, at + kLocalCompressedSizeOffset);
    e.uncompressedSize = le32(f, at + kLocalUncompressedSizeOffset);
    e.name.assign(reinterpret_cast<const char*>(f.data()) + at + kLocalNameOffset, nameLength);
    s.entry = std::move(e);
    s.descriptor = descriptor;
    s.dataStart = s.pos + header;
    s.dataEnd = descriptor ? -1 : s.dataStart + static_cast<std::int64_t>(s.entry.compressedSize);
    s.crc = 0;
    s.produced = 0;
    s.markup = markupPart(s.entry.name);
    s.markupCheck = MarkupCheck(worksheetPart(s.entry.name));
    if (s.markup || method == kMethodDeflated) guided_ = true;
    s.pos = s.dataStart;
    s.phase = Phase::Data;
    if (method == kMethodDeflated) startInflate();
    return s.phase == Phase::Done ? FragmentVerdict::Broken : FragmentVerdict::Consistent;
  }
  if (signature == kCentralHeader) {
    if (!have(s.pos, kCentralHeaderBytes)) return FragmentVerdict::Consistent;
    const std::size_t nameLength = le16(f, at + kCentralNameLengthOffset);
    if (nameLength == 0 || nameLength > kMaxNameBytes || le16(f, at + kCentralExtraLengthOffset) > kMaxExtraBytes ||
        le16(f, at + kCentralCommentLengthOffset) > kMaxExtraBytes)
      return FragmentVerdict::Broken;
    const auto length = static_cast<std::int64_t>(kCentralHeaderBytes + nameLength + le16(f, at + kCentralExtraLengthOffset) +
                                                  le16(f, at + kCentralCommentLengthOffset));
    if (!have(s.pos, length)) return FragmentVerdict::Consistent;
    const std::uint32_t localOffset = le32(f, at + kCentralLocalOffsetOffset);
    const auto it = std::lower_bound(locals_.begin(), locals_.begin() + static_cast<std::ptrdiff_t>(s.localCount), localOffset,
                                     [](const Local& l, std::uint32_t off) { return l.offset < static_cast<std::int64_t>(off); });
    if (it == locals_.begin() + static_cast<std::ptrdiff_t>(s.localCount) || it->offset != static_cast<std::int64_t>(localOffset))
      return FragmentVerdict::Broken;
    const std::string_view name(reinterpret_cast<const char*>(f.data()) + at + kCentralNameOffset, nameLength);
    if (name != it->name || le16(f, at + kCentralMethodOffset) != it->method || le32(f, at + kCentralCrcOffset) != it->crc ||
        le32(f, at + kCentralCompressedSizeOffset) != it->compressedSize ||
        le32(f, at + kCentralUncompressedSizeOffset) != it->uncompressedSize)
      return FragmentVerdict::Broken;
    if (s.centralStart < 0) s.centralStart = s.pos;
    ++s.centralCount;
    s.pos += length;
    return FragmentVerdict::Consistent;
  }
  if (signature == kEndOfCentralDirectory) {
    if (!have(s.pos, kEndRecordBytes)) return FragmentVerdict::Consistent;
    const std::int64_t length = static_cast<std::int64_t>(kEndRecordBytes) + le16(f, at + kEndCommentLengthOffset);
    if (!have(s.pos, length)) return FragmentVerdict::Consistent;
    if (s.centralStart < 0 || s.centralCount != s.localCount || le16(f, at + kEndEntryCountOffset) != s.centralCount ||
        le32(f, at + kEndCentralOffsetOffset) != static_cast<std::uint64_t>(s.centralStart) ||
        le32(f, at + kEndCentralSizeOffset) != static_cast<std::uint64_t>(s.pos - s.centralStart))
      return FragmentVerdict::Broken;
    s.length = s.pos + length;
    s.pos = s.length;
    s.phase = Phase::Done;
    return FragmentVerdict::Complete;
  }
  return FragmentVerdict::Broken;
}

void ZipFragmentCheck::startInflate() {
  if (!z_->reset()) st_->phase = Phase::Done;
  st_->inflating = st_->phase != Phase::Done;
}

FragmentVerdict ZipFragmentCheck::data() {
  State& s = *st_;
  const std::int64_t end = s.dataEnd >= 0 ? std::min(s.size, s.dataEnd) : s.size;
  if (s.entry.method == kMethodStored) {
    if (end > s.pos) {
      if (s.markup && !s.markupCheck.take(Bytes(file_.data() + s.pos, static_cast<std::size_t>(end - s.pos))))
        return FragmentVerdict::Broken;
      s.crc = crc32Update(s.crc, Bytes(file_.data() + s.pos, static_cast<std::size_t>(end - s.pos)));
      s.decoded += static_cast<std::uint64_t>(end - s.pos);
      decodedWork_ += static_cast<std::uint64_t>(end - s.pos);
      s.pos = end;
    }
    if (s.pos < s.dataEnd) return FragmentVerdict::Consistent;
    if (s.crc != s.entry.crc) return FragmentVerdict::Broken;
    locals_.push_back(s.entry);
    guided_ = true;
    s.localCount = locals_.size();
    s.phase = Phase::Record;
    return FragmentVerdict::Consistent;
  }
  z_stream& z = z_->z;
  z.next_in = file_.data() + s.pos;
  z.avail_in = static_cast<uInt>(std::max<std::int64_t>(0, end - s.pos));
  const uInt given = z.avail_in;
  bool ended = false;
  for (;;) {
    z.next_out = scratch_.data();
    z.avail_out = static_cast<uInt>(scratch_.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t out = scratch_.size() - z.avail_out;
    s.crc = crc32Update(s.crc, Bytes(scratch_.data(), out));
    s.produced += out;
    s.decoded += out;
    decodedWork_ += out;
    if (s.markup && !s.markupCheck.take(Bytes(scratch_.data(), out))) return FragmentVerdict::Broken;
    if (!s.descriptor && s.produced > s.entry.uncompressedSize) return wholeEntryBroken();
    if (rc == Z_STREAM_END) {
      ended = true;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) return FragmentVerdict::Broken;
    if (z.avail_in == 0 && z.avail_out != 0) break;
    if (rc == Z_BUF_ERROR) break;
  }
  s.pos += static_cast<std::int64_t>(given - z.avail_in);
  if (!ended) {
    // A stream that has not ended where its size says it does is broken.
    if (s.dataEnd >= 0 && s.pos >= s.dataEnd) return wholeEntryBroken();
    return FragmentVerdict::Consistent;
  }
  s.inflating = false;
  if (s.descriptor) {
    s.entry.crc = s.crc;
    s.entry.compressedSize = static_cast<std::uint64_t>(s.pos - s.dataStart);
    s.entry.uncompressedSize = s.produced;
    s.phase = Phase::Descriptor;
    return FragmentVerdict::Consistent;
  }
  if (s.pos != s.dataEnd || s.produced != s.entry.uncompressedSize || s.crc != s.entry.crc) return wholeEntryBroken();
  locals_.push_back(s.entry);
  guided_ = true;
  s.localCount = locals_.size();
  s.phase = Phase::Record;
  return FragmentVerdict::Consistent;
}

FragmentVerdict ZipFragmentCheck::descriptor() {
  State& s = *st_;
  if (!have(s.pos, 16)) return FragmentVerdict::Consistent;
  const Bytes f(file_.data(), static_cast<std::size_t>(s.size));
  const auto at = static_cast<std::size_t>(s.pos);
  auto agrees = [&](std::size_t base) {
    return le32(f, base) == s.entry.crc && le32(f, base + 4) == s.entry.compressedSize && le32(f, base + 8) == s.entry.uncompressedSize;
  };
  if (le32(f, at) == kDataDescriptor && agrees(at + 4)) s.pos += 16;
  else if (agrees(at)) s.pos += 12;
  else return wholeEntryBroken();
  locals_.push_back(s.entry);
  guided_ = true;
  s.localCount = locals_.size();
  s.phase = Phase::Record;
  return FragmentVerdict::Consistent;
}

namespace {

// A local header with its sizes, of deflated data whose stream fails within these bytes.
bool deflateFailsWithin(Bytes start) {
  const std::optional<PlainLocalHeader> plain = plainLocalHeader(start);
  if (!plain || le16(start, kLocalMethodOffset) != kMethodDeflated || plain->headerBytes >= static_cast<std::int64_t>(start.size()))
    return false;
  const std::size_t dataBytes =
      static_cast<std::size_t>(std::min<std::int64_t>(plain->dataBytes, static_cast<std::int64_t>(start.size()) - plain->headerBytes));
  if (dataBytes == 0) return false;
  // One inflater for every call of the thread: asked once per package candidate of a scan.
  thread_local RawInflate inflater;
  if (!inflater.reset()) return false;
  z_stream& z = inflater.z;
  std::array<std::uint8_t, kInflateChunkBytes> out;
  z.next_in = const_cast<std::uint8_t*>(start.data() + plain->headerBytes);
  z.avail_in = static_cast<uInt>(dataBytes);
  for (;;) {
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_DATA_ERROR) return true;
    if (rc != Z_OK || z.avail_in == 0) return false;
  }
}

}  // namespace

bool firstPieceRefused(Bytes start, std::int64_t maxBytes) {
  if (start.size() < 4 || le32(start, 0) != kLocalHeader) return false;
  return judgeLocalHeader(start, 0, maxBytes) == HeaderVerdict::Refused || deflateFailsWithin(start);
}

}  // namespace vellumark::zip
