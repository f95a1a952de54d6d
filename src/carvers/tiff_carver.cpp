#include "carvers/tiff_carver.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "carvers/carver_framework.h"
#include "formats/tiff.h"

namespace vellumark {

namespace {

using tiff::kMaxFileBytes;

// An offsets array named by a directory entry: where it lies, how many items it has and
// how wide they are.
struct OffsetArray {
  std::int64_t position = -1;   // -1: not given (or, for strips, given as "none")
  std::uint32_t count = 0;
  std::uint32_t elementBytes = 0;
};

// What one chain of directories remembers between its entries.
struct ChainState {
  OffsetArray strips;
  OffsetArray freeSpace;
  OffsetArray tiles;
  std::int64_t jpegOffset = 0;
  std::int64_t imageDataOffset = 0;
  std::int64_t alphaDataOffset = 0;
};

struct Entry {
  std::int64_t at = 0;        // file offset of the entry
  std::uint16_t tag = 0;
  std::uint32_t count = 0;
  std::uint32_t elementBytes = 0;
  std::int64_t dataBytes = 0;
  std::uint32_t value = 0;    // the value field: the value itself, or the data's offset
  std::int64_t dataAt = 0;    // where the data lies: the value field or the offset
};

class TiffWalk {
 public:
  TiffWalk(Carve& carve, bool littleEndian) : carve_(carve), little_(littleEndian) {}

  // Walks the chain of directories from offset, with the sub-directories they name.
  bool walkChain(std::int64_t offset);

 private:
  // Makes sure the file is held up to target, within the size bound.
  [[nodiscard]] bool cover(std::int64_t target) { return target <= kMaxFileBytes && carve_.fetchUpTo(target); }

  // Fields of held bytes, in the file's byte order.
  [[nodiscard]] std::uint16_t u16(std::int64_t pos) const {
    const auto at = static_cast<std::size_t>(pos);
    return little_ ? le16(carve_.bytes(), at) : be16(carve_.bytes(), at);
  }
  [[nodiscard]] std::uint32_t u32(std::int64_t pos) const {
    const auto at = static_cast<std::size_t>(pos);
    return little_ ? le32(carve_.bytes(), at) : be32(carve_.bytes(), at);
  }
  [[nodiscard]] std::uint32_t item(std::int64_t pos, std::uint32_t elementBytes) const {
    return elementBytes == 2 ? u16(pos) : u32(pos);
  }

  [[nodiscard]] std::optional<Entry> readEntry(std::int64_t at) const;
  [[nodiscard]] bool walkDirectory(std::int64_t offset, ChainState& state, std::int64_t& next);
  [[nodiscard]] bool followEntry(const Entry& e, ChainState& state);
  [[nodiscard]] bool coverBlock(std::int64_t offset, std::int64_t length) { return cover(offset + length); }
  [[nodiscard]] bool coverPairs(const OffsetArray& offsets, const Entry& lengths);
  [[nodiscard]] bool coverMakerNote(const Entry& e);
  [[nodiscard]] bool walkSubDirectories(const Entry& e);

  Carve& carve_;
  bool little_;
  std::unordered_set<std::int64_t> seen_;   // every directory walked so far
};

std::optional<Entry> TiffWalk::readEntry(std::int64_t at) const {
  Entry e;
  e.at = at;
  e.tag = u16(at);
  const std::uint16_t type = u16(at + static_cast<std::int64_t>(tiff::kEntryTypeOffset));
  if (type == 0 || type >= tiff::kElementBytes.size()) return std::nullopt;
  e.elementBytes = tiff::kElementBytes[type];
  e.count = u32(at + static_cast<std::int64_t>(tiff::kEntryCountOffset));
  e.dataBytes = std::int64_t{e.count} * e.elementBytes;
  const std::int64_t field = at + static_cast<std::int64_t>(tiff::kEntryValueOffset);
  // A single 16-bit value sits in the first half of the field, whatever the byte order.
  e.value = (e.elementBytes == 2 && e.count == 1) ? u16(field) : u32(field);
  e.dataAt = e.dataBytes > tiff::kInlineValueBytes ? std::int64_t{u32(field)} : field;
  return e;
}

bool TiffWalk::coverPairs(const OffsetArray& offsets, const Entry& lengths) {
  const auto sized = [](std::uint32_t b) { return b == 2 || b == 4; };
  if (!sized(offsets.elementBytes) || !sized(lengths.elementBytes)) return false;
  // Both arrays must be held for every item, even when the two entries disagree on counts.
  if (!cover(offsets.position + std::int64_t{offsets.count} * offsets.elementBytes)) return false;
  if (!cover(lengths.dataAt + std::int64_t{offsets.count} * lengths.elementBytes)) return false;
  std::int64_t o = offsets.position;
  std::int64_t l = lengths.dataAt;
  for (std::uint32_t i = 0; i < offsets.count; ++i) {
    if (!coverBlock(item(o, offsets.elementBytes), item(l, lengths.elementBytes))) return false;
    o += offsets.elementBytes;
    l += lengths.elementBytes;
  }
  return true;
}

// Compares 8 bytes with 8 letters of text; with foldCase, upper-case letters of the bytes
// compare as lower case. Negative, 0 or positive as for memcmp.
int compare8(Bytes b, std::string_view text, bool foldCase) {
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint8_t c = b[i];
    if (foldCase && c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c | 0x20);
    const auto t = static_cast<std::uint8_t>(text[i]);
    if (c != t) return c < t ? -1 : 1;
  }
  return 0;
}

// A maker note that begins with an "STMN" block header names a block elsewhere in the file.
bool TiffWalk::coverMakerNote(const Entry& e) {
  if (e.count < tiff::kMinMakerNoteBytes) return true;
  const Bytes note = carve_.bytes().subspan(static_cast<std::size_t>(e.dataAt), 8);
  if (compare8(note, "STMN0001", false) < 0 || compare8(note, "stmn9999", true) > 0) return true;
  return coverBlock(u32(e.dataAt + 8), u32(e.dataAt + 12));
}

bool TiffWalk::walkSubDirectories(const Entry& e) {
  if (e.count == 1) return walkChain(e.value);
  if (!cover(e.dataAt + 4 * std::int64_t{e.count})) return false;
  for (std::uint32_t i = 0; i < e.count; ++i)
    if (!walkChain(u32(e.dataAt + 4 * std::int64_t{i}))) return false;
  return true;
}

bool TiffWalk::followEntry(const Entry& e, ChainState& state) {
  if (std::find(tiff::kSubDirectoryTags.begin(), tiff::kSubDirectoryTags.end(), e.tag) != tiff::kSubDirectoryTags.end())
    return walkSubDirectories(e);
  const OffsetArray array{e.dataAt, e.count, e.elementBytes};
  switch (e.tag) {
    case tiff::kTagStripOffsets:
      state.strips = array;
      if (e.value == tiff::kNoStripArray) state.strips.position = -1;
      return true;
    case tiff::kTagStripByteCounts:
      return state.strips.position == -1 || coverPairs(state.strips, e);
    case tiff::kTagRawDataOffset:
      return state.strips.position != -1 || cover(e.value);
    case tiff::kTagFreeOffsets: state.freeSpace = array; return true;
    case tiff::kTagFreeByteCounts: return state.freeSpace.position == -1 || coverPairs(state.freeSpace, e);
    case tiff::kTagTileOffsets: state.tiles = array; return true;
    case tiff::kTagTileByteCounts: return state.tiles.position == -1 || coverPairs(state.tiles, e);
    case tiff::kTagJpegOffset: state.jpegOffset = e.value; return true;
    case tiff::kTagJpegLength: return coverBlock(state.jpegOffset, e.value);
    case tiff::kTagImageDataOffset: state.imageDataOffset = e.value; return true;
    case tiff::kTagImageDataByteCount: return coverBlock(state.imageDataOffset, e.value);
    case tiff::kTagAlphaDataOffset: state.alphaDataOffset = e.value; return true;
    case tiff::kTagAlphaDataByteCount: return coverBlock(state.alphaDataOffset, e.value);
    case tiff::kTagMakerNote: return coverMakerNote(e);
    default: return true;
  }
}

bool TiffWalk::walkDirectory(std::int64_t offset, ChainState& state, std::int64_t& next) {
  if (seen_.size() >= tiff::kMaxDirectories || !seen_.insert(offset).second) return false;
  if (!cover(offset + 2)) return false;
  const std::uint16_t n = u16(offset);
  if (n == 0 || n > tiff::kMaxEntries) return false;
  const std::int64_t entries = offset + 2;
  const std::int64_t end = entries + tiff::kEntryBytes * n + 4;
  if (!cover(end)) return false;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::optional<Entry> e = readEntry(entries + tiff::kEntryBytes * i);
    if (!e) return false;
    if (e->dataBytes == 0) continue;
    if (e->dataBytes > tiff::kInlineValueBytes && !cover(e->dataAt + e->dataBytes)) return false;
    if (!followEntry(*e, state)) return false;
  }
  next = u32(end - 4);
  return true;
}

bool TiffWalk::walkChain(std::int64_t offset) {
  ChainState state;
  while (offset != 0) {
    std::int64_t next = 0;
    if (!walkDirectory(offset, state, next)) return false;
    offset = next;
  }
  return true;
}

std::optional<bool> byteOrderOf(Bytes b) {
  if (!fits(b, 0, 4)) return std::nullopt;
  const std::uint32_t magic = be32(b, 0);
  for (std::uint32_t m : tiff::kLittleEndianMagics)
    if (magic == m) return true;
  for (std::uint32_t m : tiff::kBigEndianMagics)
    if (magic == m) return false;
  return std::nullopt;
}

}  // namespace

void carveTiff(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const std::optional<bool> little = byteOrderOf(carve.bytes());
  if (!little) return;
  const Bytes b = carve.bytes();
  const std::uint32_t first = *little ? le32(b, tiff::kFirstDirectoryOffset) : be32(b, tiff::kFirstDirectoryOffset);
  TiffWalk walk(carve, *little);
  if (first != 0 && walk.walkChain(first)) carve.accept();
}

}  // namespace vellumark
