#include "carvers/pdf_carver.h"

#include <string>

#include "carvers/carver_framework.h"
#include "formats/pdf.h"

namespace vellumark {

namespace {

// How far the search may move past the bytes it keeps before they are dropped: it never
// looks back, so a long PDF costs only what lies ahead of it.
constexpr std::int64_t kDiscardEvery = 1 << 20;

[[nodiscard]] constexpr bool isLineBreak(std::uint8_t b) { return b == 0x0D || b == 0x0A; }

enum class Step { Continue, Found, Failed };

// The search for the end: a byte-level state machine over the assembled file.
class EndSearch {
 public:
  explicit EndSearch(Carve& carve) : carve_(carve) {}

  // The file's length, or -1 when the carve must fail.
  [[nodiscard]] std::int64_t run() {
    for (;;) {
      if (carve_.filled() > pdf::kMaxFileBytes) {
        carve_.reject("no end of file within 300 MiB");
        return -1;
      }
      if (pos_ - carve_.keptFrom() >= kDiscardEvery) carve_.discardBefore(pos_);
      if (!have(1)) return -1;
      switch (step()) {
        case Step::Continue: break;
        case Step::Found: return pos_;
        case Step::Failed: return -1;
      }
    }
  }

 private:
  // Makes sure n bytes from pos_ are assembled.
  [[nodiscard]] bool have(std::size_t n) {
    const std::int64_t end = pos_ + static_cast<std::int64_t>(n);
    return end <= carve_.filled() || carve_.fetchUpTo(end);
  }
  [[nodiscard]] std::size_t at() const { return static_cast<std::size_t>(pos_ - carve_.keptFrom()); }

  // Compares a keyword at pos_ (assembling it first) and moves on by its length or by one.
  [[nodiscard]] Step keyword(std::string_view word, bool wanted, int onMatch) {
    if (!have(word.size())) return Step::Failed;
    if (wanted && bytesEqual(carve_.bytes(), at(), word)) return go(word.size(), onMatch);
    return go(1, 0);
  }

  [[nodiscard]] Step go(std::size_t by, int next) {
    pos_ += static_cast<std::int64_t>(by);
    state_ = next;
    return Step::Continue;
  }

  [[nodiscard]] Step digit(std::uint8_t b, bool first) {
    if (first) digits_.clear();
    digits_ += static_cast<char>(b);
    return go(1, 4);
  }

  // True when "N G obj" begins at pos_: an object of an update appended to the file.
  [[nodiscard]] bool objectHeaderFollows() {
    constexpr std::size_t kLongestHeader = 24;
    (void)have(kLongestHeader);  // near the end of the range, what is there is enough
    const Bytes b = carve_.bytes().subspan(at());
    std::size_t i = 0;
    for (int number = 0; number < 2; ++number) {
      const std::size_t digitsFrom = i;
      while (i < b.size() && isAsciiDigit(b[i])) ++i;
      if (i == digitsFrom || i >= b.size() || b[i] != ' ') return false;
      ++i;
    }
    return bytesEqual(b, i, "obj");
  }

  [[nodiscard]] Step step() {
    const std::uint8_t b = carve_.bytes()[at()];
    const bool lineBreak = isLineBreak(b);
    switch (state_) {
      case 0: return go(1, lineBreak ? 1 : 0);
      case 1: return lineBreak ? go(1, 1) : keyword(pdf::kStartXref, true, 2);
      case 2: return lineBreak ? go(1, 3) : go(0, 0);
      case 3:
        if (lineBreak) return go(1, 3);
        return isAsciiDigit(b) ? digit(b, true) : go(1, 0);
      case 4:
        if (lineBreak) return go(1, 5);
        return isAsciiDigit(b) ? digit(b, false) : go(1, 0);
      case 5: return lineBreak ? go(1, 5) : keyword(pdf::kEndOfFile, digits_ != "0", 6);
      default:
        if (lineBreak) return go(1, 6);
        if (!have(pdf::kXref.size())) return Step::Failed;
        if (bytesEqual(carve_.bytes(), at(), pdf::kXref)) return go(pdf::kXref.size(), 0);
        // An incremental update usually begins with its objects, its "xref" comes later.
        if (objectHeaderFollows()) return go(0, 0);
        return Step::Found;
    }
  }

  Carve& carve_;
  std::int64_t pos_ = pdf::kFirstSearchedByte;
  int state_ = 0;
  std::string digits_;
};

}  // namespace

void carvePdf(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  if (!bytesEqual(carve.bytes(), 0, pdf::kHeader)) return carve.reject("no %PDF- header");
  const std::int64_t length = EndSearch(carve).run();
  if (length < 0) return;
  carve.trimTo(length);
  carve.accept();
}

}  // namespace vellumark
