#pragma once
// A streaming test of the rules every well-formed XML text keeps, for telling a part's own
// bytes from wrong data decoded in its place.
//
// A deflate stream fed a wrong cluster seldom fails at once: inside a block with a complete
// Huffman code every bit pattern decodes to some symbol, and back-references copy real text
// out of the window, so the output goes on looking like the part's letters until the block's
// end. Markup it produces that way breaks within a few hundred bytes: a '<' inside a tag, a
// byte no tag may hold, a control character, an entity reference that is not one, an end
// tag that does not close the element open (the same stream decoded from a wrong place
// copies the wrong text into its back-references, and the nesting goes astray). The test
// looks only at rules that hold for any well-formed text (comments, CDATA sections and
// processing instructions are skipped whole, and a text whose prolog declares a document type
// is not judged further), so a real part never fails it.
//
// A worksheet's text is held to rules of its cells too: the reference of a cell (the r
// attribute of a c element) is a column of letters and a row number, and cells come row by
// row, column by column. Back-references copied from a wrong place in a sheet of repeated
// cells keep the markup whole, but cut those references or put them out of order.
//
// Only a text that starts like XML encoded in UTF-8 (an optional byte order mark, white
// space, then '<') is judged; anything else is let through unjudged.

#include <array>
#include <cstdint>
#include <span>

namespace vellumark {

class MarkupCheck {
 public:
  // The test of a new text; `worksheet` holds its cell references to their form too.
  MarkupCheck() = default;
  explicit MarkupCheck(bool worksheet) : worksheet_(worksheet) {}
  // Takes the next bytes of the text; false once they break a rule (and from then on).
  [[nodiscard]] bool take(std::span<const std::uint8_t> bytes);
  // True once the text broke a rule.
  [[nodiscard]] bool broken() const { return state_ == State::Broken; }
  // True while the text is judged (it began like XML and declared no document type).
  [[nodiscard]] bool judging() const;

  // The states up to Broken are those of a text not (or no longer) judged byte by byte.
  enum class State : std::uint8_t {
    Start, Bom1, Bom2, Unjudged, Broken,
    Text, Reference, Open, StartName, Tag, TagSlash, TagDoubleQuoted, TagSingleQuoted, EndName, EndSpace, CellReference,
    Bang, BangDash, Comment, CommentDash, CommentDashDash,
    CdataOpen, Cdata, CdataBracket, CdataBrackets,
    Instruction, InstructionQuestion,
  };

 private:
  [[nodiscard]] State step(std::uint8_t c);
  // Pass over the bytes that leave the state StartName, EndName or Tag as it is.
  [[nodiscard]] const std::uint8_t* startNameRun(const std::uint8_t* p, const std::uint8_t* end);
  [[nodiscard]] const std::uint8_t* endNameRun(const std::uint8_t* p, const std::uint8_t* end);
  [[nodiscard]] const std::uint8_t* tagRun(const std::uint8_t* p, const std::uint8_t* end);
  [[nodiscard]] State open();   // the start tag named nameHash_ ended
  [[nodiscard]] State close();  // the end tag named nameHash_ ended
  [[nodiscard]] State cellEnded();  // a cell reference's closing quote came

  // Elements open, by a hash of their names; deeper ones are counted, not compared.
  static constexpr std::size_t kTrackedDepth = 48;
  std::array<std::uint32_t, kTrackedDepth> open_{};
  std::uint32_t depth_ = 0;
  std::uint32_t nameHash_ = 0;
  std::uint32_t localHash_ = 0;      // of the element's name after its prefix
  std::uint32_t attributeHash_ = 0;  // of the attribute name being read, or read last
  bool inAttributeName_ = false;
  bool worksheet_ = false;
  bool cell_ = false;                // the start tag is a worksheet's cell
  std::uint8_t quote_ = 0;           // that ends the cell reference
  std::uint8_t letters_ = 0, digits_ = 0;
  std::uint32_t column_ = 0, row_ = 0;          // of the reference being read
  std::uint32_t lastColumn_ = 0, lastRow_ = 0;  // of the cell before
  State state_ = State::Start;
  std::uint8_t count_ = 0;  // characters of a reference, or of "CDATA[" matched so far
};

}  // namespace vellumark
