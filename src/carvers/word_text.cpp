#include "carvers/word_text.h"

#include <algorithm>
#include <vector>

#include "platform/code_page.h"

namespace vellumark::word {

namespace {

// File Information Block.
constexpr std::uint16_t kIdentWord97 = 0xA5EC;
constexpr std::uint16_t kIdentWord6 = 0xA5DC;
constexpr std::size_t kIdentOffset = 0;
constexpr std::size_t kNFibOffset = 2;
constexpr std::size_t kFlagsOffset = 10;
constexpr std::uint16_t kFlagComplex = 0x0004;
constexpr std::uint16_t kFlagEncrypted = 0x0100;
constexpr std::uint16_t kFlagWhichTable = 0x0200;
constexpr std::uint16_t kFlagObfuscated = 0x8000;
constexpr std::uint16_t kFirstWord97NFib = 0x00C1;  // 193
// Word 97 and later: after the 32-byte base come counted arrays of 16-bit words, 32-bit
// words, and (fc, lcb) pairs; ccpText is the fourth 32-bit word, the CLX the 34th pair.
constexpr std::size_t kBaseBytes = 32;
constexpr std::size_t kCcpTextIndex = 3;
constexpr std::size_t kClxPairIndex = 33;
// Word 6 and 95 (fixed layout): the text's place in the WordDocument stream.
constexpr std::size_t kWord6FcMinOffset = 0x18;
constexpr std::size_t kWord6FcMacOffset = 0x1C;
constexpr std::size_t kWord6CcpTextOffset = 0x34;

// The piece table.
constexpr std::uint8_t kClxPrc = 1;
constexpr std::uint8_t kClxPcdt = 2;
constexpr std::size_t kPcdBytes = 8;
constexpr std::size_t kPcdFcOffset = 2;
constexpr std::uint32_t kFcCompressed = 0x40000000;
constexpr std::uint32_t kFcMask = 0x3FFFFFFF;

// Control characters of the text stream.
constexpr char16_t kCellMark = 0x07;
constexpr char16_t kTab = 0x09;
constexpr char16_t kLineBreak = 0x0B;
constexpr char16_t kPageBreak = 0x0C;
constexpr char16_t kParagraph = 0x0D;
constexpr char16_t kColumnBreak = 0x0E;
constexpr char16_t kFieldBegin = 0x13;
constexpr char16_t kFieldSeparator = 0x14;
constexpr char16_t kFieldEnd = 0x15;
// Fields nest; deeper than this the instruction is taken as damage and no longer tracked.
constexpr std::size_t kMaxFieldDepth = 64;

// Builds the text character by character, turning Word's control characters into breaks
// and leaving out field instructions.
class TextBuilder {
 public:
  [[nodiscard]] bool full() const { return text_.size() >= kMaxTextChars; }

  void add(char16_t c) {
    switch (c) {
      case kFieldBegin:
        if (fields_.size() < kMaxFieldDepth) fields_.push_back(true);
        return;
      case kFieldSeparator:
        if (!fields_.empty()) fields_.back() = false;
        return;
      case kFieldEnd:
        if (!fields_.empty()) fields_.pop_back();
        return;
      default:
        break;
    }
    if (!fields_.empty() && fields_.back()) return;  // inside an instruction
    if (c == kParagraph || c == kLineBreak || c == kPageBreak || c == kCellMark || c == kColumnBreak) c = u'\n';
    else if (c < 0x20 && c != kTab) return;
    if (!full()) text_.push_back(c);
  }

  [[nodiscard]] std::u16string take() { return std::move(text_); }

 private:
  std::u16string text_;
  std::vector<bool> fields_;  // per open field: still in its instruction
};

// The PlcPcd of the CLX at [fcClx, fcClx + lcbClx) of the table stream: n + 1 character
// positions, then n piece descriptors.
struct PieceTable {
  Bytes plc;
  std::size_t pieces = 0;
  [[nodiscard]] std::uint32_t cp(std::size_t i) const { return le32(plc, 4 * i); }
  [[nodiscard]] std::uint32_t fc(std::size_t i) const { return le32(plc, 4 * (pieces + 1) + kPcdBytes * i + kPcdFcOffset); }
};

std::optional<PieceTable> findPieceTable(Bytes clx) {
  std::size_t at = 0;
  while (at < clx.size()) {
    const std::uint8_t clxt = clx[at];
    if (clxt == kClxPrc) {
      if (!fits(clx, at + 1, 2)) return std::nullopt;
      at += 3 + le16(clx, at + 1);
      continue;
    }
    if (clxt != kClxPcdt || !fits(clx, at + 1, 4)) return std::nullopt;
    const std::uint32_t lcb = le32(clx, at + 1);
    if (lcb < 4 + 12 || (lcb - 4) % 12 != 0 || !fits(clx, at + 5, lcb)) return std::nullopt;
    PieceTable t{clx.subspan(at + 5, lcb), (lcb - 4) / 12};
    return t;
  }
  return std::nullopt;
}

std::optional<std::u16string> word97Text(Bytes wd, Bytes table) {
  const std::size_t csw = le16(wd, kBaseBytes);
  const std::size_t lwAt = kBaseBytes + 2 + 2 * csw;
  const std::size_t cslw = le16(wd, lwAt);
  const std::size_t rgLw = lwAt + 2;
  const std::size_t pairsAt = rgLw + 4 * cslw;
  const std::size_t pairs = le16(wd, pairsAt);
  if (cslw <= kCcpTextIndex || pairs <= kClxPairIndex || !fits(wd, pairsAt + 2, 8 * pairs)) return std::nullopt;
  const std::uint32_t ccpText = le32(wd, rgLw + 4 * kCcpTextIndex);
  const std::uint32_t fcClx = le32(wd, pairsAt + 2 + 8 * kClxPairIndex);
  const std::uint32_t lcbClx = le32(wd, pairsAt + 2 + 8 * kClxPairIndex + 4);
  if (!fits(table, fcClx, lcbClx)) return std::nullopt;
  const std::optional<PieceTable> pieces = findPieceTable(table.subspan(fcClx, lcbClx));
  if (!pieces) return std::nullopt;

  TextBuilder text;
  for (std::size_t i = 0; i < pieces->pieces && !text.full(); ++i) {
    const std::uint32_t from = pieces->cp(i);
    const std::uint32_t to = std::min(pieces->cp(i + 1), ccpText);
    if (pieces->cp(i + 1) < from) return std::nullopt;  // positions must not go back
    if (from >= ccpText) break;
    const std::uint32_t fc = pieces->fc(i);
    const std::size_t count = to - from;
    const bool compressed = (fc & kFcCompressed) != 0;
    const std::size_t start = compressed ? (fc & kFcMask) / 2 : (fc & kFcMask);
    if (!fits(wd, start, compressed ? count : 2 * count)) return std::nullopt;
    for (std::size_t k = 0; k < count && !text.full(); ++k)
      text.add(compressed ? compressedChar(wd[start + k]) : static_cast<char16_t>(le16(wd, start + 2 * k)));
  }
  return text.take();
}

// Word 6 and 95 documents saved whole (not fast-saved) hold their main text in one run of
// 8-bit characters.
std::optional<std::u16string> word6Text(Bytes wd, std::uint16_t flags, std::uint16_t codePage) {
  if (flags & kFlagComplex) return std::nullopt;
  const std::uint32_t fcMin = le32(wd, kWord6FcMinOffset);
  const std::uint32_t fcMac = le32(wd, kWord6FcMacOffset);
  if (fcMac < fcMin || !fits(wd, fcMin, fcMac - fcMin)) return std::nullopt;
  std::size_t count = std::min<std::size_t>(fcMac - fcMin, le32(wd, kWord6CcpTextOffset));
  count = std::min(count, kMaxTextChars);
  const Bytes raw = wd.subspan(fcMin, count);
  std::optional<std::u16string> decoded;
  if (codePage != 0 && codePage != 1252) decoded = platform::decodeCodePage(raw, codePage);
  if (!decoded) {
    decoded.emplace();
    for (std::uint8_t b : raw) decoded->push_back(compressedChar(b));
  }
  TextBuilder text;
  for (char16_t c : *decoded) text.add(c);
  return text.take();
}

}  // namespace

char16_t compressedChar(std::uint8_t byte) {
  // The bytes 0x80 to 0x9F where code page 1252 and Latin-1 differ, as Word maps them.
  static constexpr char16_t kHigh[32] = {
      0x0080, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x008E, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x009E, 0x0178};
  if (byte >= 0x80 && byte <= 0x9F) return kHigh[byte - 0x80];
  return byte;
}

const char* tableStreamName(Bytes wordDocument) {
  return (le16(wordDocument, kFlagsOffset) & kFlagWhichTable) ? "1Table" : "0Table";
}

std::optional<std::u16string> mainTextOfStreams(Bytes wd, Bytes table, std::uint16_t codePage) {
  if (!fits(wd, 0, kBaseBytes)) return std::nullopt;
  const std::uint16_t ident = le16(wd, kIdentOffset);
  const std::uint16_t flags = le16(wd, kFlagsOffset);
  if (flags & (kFlagEncrypted | kFlagObfuscated)) return std::nullopt;
  if (ident == kIdentWord97 && le16(wd, kNFibOffset) >= kFirstWord97NFib) return word97Text(wd, table);
  if (ident == kIdentWord6 || ident == kIdentWord97) return word6Text(wd, flags, codePage);
  return std::nullopt;
}

std::optional<std::u16string> mainText(Bytes file, const cfb::CompoundFile& cf, std::uint16_t codePage) {
  const cfb::DirEntry* wdEntry = cf.stream("WordDocument");
  if (wdEntry == nullptr) return std::nullopt;
  const auto wd = cfb::readStream(file, cf.header, cf.fat, cf.entries, *wdEntry);
  if (!wd) return std::nullopt;
  std::vector<std::uint8_t> table;
  if (const cfb::DirEntry* t = cf.stream(tableStreamName(*wd))) {
    auto bytes = cfb::readStream(file, cf.header, cf.fat, cf.entries, *t);
    if (bytes) table = std::move(*bytes);
  }
  return mainTextOfStreams(*wd, table, codePage);
}

}  // namespace vellumark::word
