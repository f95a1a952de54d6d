#include "carvers/markup_check.h"

#include <string_view>

namespace vellumark {

namespace {

using State = MarkupCheck::State;

constexpr std::string_view kCdataOpen = "CDATA[";
// Longer references than this are no reference a package without a document type can use.
constexpr std::uint8_t kMaxReferenceChars = 64;

// Classes of bytes, looked up in one table: the test asks them of every byte it steps over.
enum ByteClass : std::uint8_t {
  kSpace = 1, kForbidden = 2, kLetter = 4, kDigit = 8, kNameStart = 16, kNameByte = 32,
};

struct ClassTable {
  std::array<std::uint8_t, 256> classes{};
  constexpr ClassTable() {
    for (int c = 0; c < 256; ++c) {
      std::uint8_t k = 0;
      const bool isLetter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      const bool isDigit = c >= '0' && c <= '9';
      // Bytes of a name: ASCII name characters, or any byte of a UTF-8 sequence beyond ASCII.
      const bool isNameStart = isLetter || c == '_' || c == ':' || c >= 0x80;
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') k |= kSpace;
      // Bytes no XML 1.0 text holds anywhere, not even in a comment.
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') k |= kForbidden;
      if (isLetter) k |= kLetter;
      if (isDigit) k |= kDigit;
      if (isNameStart) k |= kNameStart;
      if (isNameStart || isDigit || c == '-' || c == '.') k |= kNameByte;
      classes[static_cast<std::size_t>(c)] = k;
    }
  }
};
constexpr ClassTable kClasses;

bool is(std::uint8_t c, ByteClass k) { return (kClasses.classes[c] & k) != 0; }
bool space(std::uint8_t c) { return is(c, kSpace); }
bool forbidden(std::uint8_t c) { return is(c, kForbidden); }
bool letter(std::uint8_t c) { return is(c, kLetter); }
bool digit(std::uint8_t c) { return is(c, kDigit); }
bool nameStart(std::uint8_t c) { return is(c, kNameStart); }
bool nameByte(std::uint8_t c) { return is(c, kNameByte); }

constexpr std::uint32_t kHashBasis = 2166136261u;
constexpr std::uint32_t hashed(std::uint32_t h, std::uint8_t c) { return (h ^ c) * 16777619u; }
constexpr std::uint32_t kCellName = hashed(kHashBasis, 'c');
constexpr std::uint32_t kReferenceName = hashed(kHashBasis, 'r');
// A1 references: up to three letters of column (XFD) and seven digits of row (1048576).
constexpr std::uint8_t kMaxColumnLetters = 3;
constexpr std::uint8_t kMaxRowDigits = 7;

}  // namespace

bool MarkupCheck::judging() const {
  switch (state_) {
    case State::Start: case State::Bom1: case State::Bom2: case State::Unjudged: case State::Broken: return false;
    default: return true;
  }
}

namespace {

// The bytes that end a stretch of character data, of a quoted attribute value, of a comment,
// a CDATA section or an instruction: what follows them is looked at one byte at a time.
enum Stop : std::uint8_t {
  kStopText = 1, kStopDoubleQuoted = 2, kStopSingleQuoted = 4, kStopComment = 8, kStopCdata = 16, kStopInstruction = 32,
};

struct StopTable {
  std::array<std::uint8_t, 256> stops{};
  constexpr StopTable() {
    for (int c = 0; c < 0x20; ++c)
      if (c != '\t' && c != '\n' && c != '\r') stops[static_cast<std::size_t>(c)] = 0xFF;
    stops['<'] |= kStopText | kStopDoubleQuoted | kStopSingleQuoted;
    stops['&'] |= kStopText;
    stops['"'] |= kStopDoubleQuoted;
    stops['\''] |= kStopSingleQuoted;
    stops['-'] |= kStopComment;
    stops[']'] |= kStopCdata;
    stops['?'] |= kStopInstruction;
  }
};
constexpr StopTable kStops;

std::uint8_t stopsOf(State s) {
  switch (s) {
    case State::Text: return kStopText;
    case State::TagDoubleQuoted: return kStopDoubleQuoted;
    case State::TagSingleQuoted: return kStopSingleQuoted;
    case State::Comment: return kStopComment;
    case State::Cdata: return kStopCdata;
    case State::Instruction: return kStopInstruction;
    default: return 0;
  }
}

}  // namespace

bool MarkupCheck::take(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  while (p != end) {
    // Runs of bytes that leave the state as it is are passed over whole; names are hashed
    // as they are passed over.
    switch (state_) {
      case State::Unjudged:
      case State::Broken: return state_ != State::Broken;
      case State::StartName: p = startNameRun(p, end); break;
      case State::EndName: p = endNameRun(p, end); break;
      case State::Tag: p = tagRun(p, end); break;
      default:
        if (const std::uint8_t stop = stopsOf(state_); stop != 0)
          while (p != end && (kStops.stops[*p] & stop) == 0) ++p;
        break;
    }
    if (p == end) break;
    state_ = step(*p++);
  }
  return state_ != State::Broken;
}

const std::uint8_t* MarkupCheck::startNameRun(const std::uint8_t* p, const std::uint8_t* end) {
  std::uint32_t name = nameHash_;
  std::uint32_t local = localHash_;
  for (; p != end && nameByte(*p); ++p) {
    name = hashed(name, *p);
    local = *p == ':' ? kHashBasis : hashed(local, *p);
  }
  nameHash_ = name;
  localHash_ = local;
  return p;
}

const std::uint8_t* MarkupCheck::endNameRun(const std::uint8_t* p, const std::uint8_t* end) {
  std::uint32_t name = nameHash_;
  for (; p != end && nameByte(*p); ++p) name = hashed(name, *p);
  nameHash_ = name;
  return p;
}

// Attribute names, the white space between them and the '=' after them.
const std::uint8_t* MarkupCheck::tagRun(const std::uint8_t* p, const std::uint8_t* end) {
  std::uint32_t attribute = attributeHash_;
  bool inName = inAttributeName_;
  for (; p != end; ++p) {
    const std::uint8_t c = *p;
    if (nameByte(c)) {
      if (!inName) attribute = kHashBasis;
      inName = true;
      attribute = hashed(attribute, c);
    } else if (space(c) || c == '=') {
      inName = false;
    } else {
      break;
    }
  }
  attributeHash_ = attribute;
  inAttributeName_ = inName;
  return p;
}

MarkupCheck::State MarkupCheck::open() {
  if (depth_ < kTrackedDepth) open_[depth_] = nameHash_;
  ++depth_;
  return State::Text;
}

MarkupCheck::State MarkupCheck::close() {
  if (depth_ == 0) return State::Broken;
  --depth_;
  if (depth_ < kTrackedDepth && open_[depth_] != nameHash_) return State::Broken;
  return State::Text;
}

MarkupCheck::State MarkupCheck::cellEnded() {
  if (letters_ == 0 || digits_ == 0) return State::Broken;
  if (row_ < lastRow_ || (row_ == lastRow_ && column_ <= lastColumn_)) return State::Broken;
  lastRow_ = row_;
  lastColumn_ = column_;
  return State::Tag;
}

MarkupCheck::State MarkupCheck::step(std::uint8_t c) {
  // The states before Broken look at the text's first bytes only, or at none.
  if (state_ > State::Broken && forbidden(c)) return State::Broken;
  switch (state_) {
    case State::Start:
      if (c == 0xEF) return State::Bom1;
      if (space(c)) return State::Start;
      return c == '<' ? State::Open : State::Unjudged;
    case State::Bom1: return c == 0xBB ? State::Bom2 : State::Unjudged;
    case State::Bom2: return c == 0xBF ? State::Start : State::Unjudged;
    case State::Unjudged:
    case State::Broken: return state_;
    case State::Text:
      if (c == '<') return State::Open;
      if (c == '&') {
        count_ = 0;
        return State::Reference;
      }
      return State::Text;
    case State::Reference:
      if (c == ';') return count_ > 0 ? State::Text : State::Broken;
      if (!nameByte(c) && c != '#') return State::Broken;
      return ++count_ > kMaxReferenceChars ? State::Broken : State::Reference;
    case State::Open:
      if (c == '!') return State::Bang;
      if (c == '?') return State::Instruction;
      nameHash_ = kHashBasis;
      if (c == '/') return State::EndName;
      if (!nameStart(c)) return State::Broken;
      nameHash_ = hashed(nameHash_, c);
      localHash_ = hashed(kHashBasis, c);
      return State::StartName;
    case State::StartName:
      if (nameByte(c)) {
        nameHash_ = hashed(nameHash_, c);
        localHash_ = c == ':' ? kHashBasis : hashed(localHash_, c);
        return State::StartName;
      }
      if (c == '>') return open();
      if (c == '/') return State::TagSlash;
      cell_ = worksheet_ && localHash_ == kCellName;
      inAttributeName_ = false;
      return space(c) ? State::Tag : State::Broken;
    case State::Tag:
      if (nameByte(c)) {
        if (!inAttributeName_) attributeHash_ = kHashBasis;
        inAttributeName_ = true;
        attributeHash_ = hashed(attributeHash_, c);
        return State::Tag;
      }
      inAttributeName_ = false;
      if (c == '>') return open();
      if (c == '/') return State::TagSlash;
      if ((c == '"' || c == '\'') && cell_ && attributeHash_ == kReferenceName) {
        quote_ = c;
        letters_ = digits_ = 0;
        column_ = row_ = 0;
        return State::CellReference;
      }
      if (c == '"') return State::TagDoubleQuoted;
      if (c == '\'') return State::TagSingleQuoted;
      return space(c) || c == '=' ? State::Tag : State::Broken;
    case State::CellReference:
      if (c == quote_) return cellEnded();
      if (letter(c)) {
        if (digits_ != 0 || ++letters_ > kMaxColumnLetters) return State::Broken;
        column_ = column_ * 26 + static_cast<std::uint32_t>((c | 0x20) - 'a' + 1);
        return State::CellReference;
      }
      if (!digit(c) || letters_ == 0 || (digits_ == 0 && c == '0') || ++digits_ > kMaxRowDigits) return State::Broken;
      row_ = row_ * 10 + static_cast<std::uint32_t>(c - '0');
      return State::CellReference;
    case State::TagSlash: return c == '>' ? State::Text : State::Broken;  // an empty element
    case State::EndName:
      if (nameByte(c)) {
        nameHash_ = hashed(nameHash_, c);
        return State::EndName;
      }
      if (c == '>') return close();
      return space(c) ? State::EndSpace : State::Broken;
    case State::EndSpace:
      if (c == '>') return close();
      return space(c) ? State::EndSpace : State::Broken;
    case State::TagDoubleQuoted:
      if (c == '<') return State::Broken;
      return c == '"' ? State::Tag : State::TagDoubleQuoted;
    case State::TagSingleQuoted:
      if (c == '<') return State::Broken;
      return c == '\'' ? State::Tag : State::TagSingleQuoted;
    case State::Bang:
      if (c == '-') return State::BangDash;
      if (c == '[') {
        count_ = 0;
        return State::CdataOpen;
      }
      // A document type declaration: its internal subset nests markup this test does not follow.
      return State::Unjudged;
    case State::BangDash: return c == '-' ? State::Comment : State::Broken;
    case State::Comment: return c == '-' ? State::CommentDash : State::Comment;
    case State::CommentDash: return c == '-' ? State::CommentDashDash : State::Comment;
    case State::CommentDashDash:
      if (c == '>') return State::Text;
      return c == '-' ? State::CommentDashDash : State::Comment;
    case State::CdataOpen:
      if (c != static_cast<std::uint8_t>(kCdataOpen[count_])) return State::Broken;
      return ++count_ == kCdataOpen.size() ? State::Cdata : State::CdataOpen;
    case State::Cdata: return c == ']' ? State::CdataBracket : State::Cdata;
    case State::CdataBracket: return c == ']' ? State::CdataBrackets : State::Cdata;
    case State::CdataBrackets:
      if (c == '>') return State::Text;
      return c == ']' ? State::CdataBrackets : State::Cdata;
    case State::Instruction: return c == '?' ? State::InstructionQuestion : State::Instruction;
    case State::InstructionQuestion:
      if (c == '>') return State::Text;
      return c == '?' ? State::InstructionQuestion : State::Instruction;
    default: return state_;
  }
}

}  // namespace vellumark
