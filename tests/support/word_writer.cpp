#include "support/word_writer.h"

#include "support/compound_writer.h"

namespace vellumark::test {

namespace {

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}
void append32(std::vector<std::uint8_t>& b, std::uint32_t v) { put32(b, b.size(), v); }

constexpr std::size_t kTextOffset = 1024;

struct WordStreams {
  std::vector<std::uint8_t> wordDocument;
  std::vector<std::uint8_t> table;
};

WordStreams writeWordStreams(const WordDocumentContent& content) {
  WordStreams s;
  std::vector<std::uint8_t>& wd = s.wordDocument;
  wd.assign(kTextOffset, 0);
  put16(wd, 0, 0xA5EC);   // wIdent
  put16(wd, 2, 193);      // nFib: Word 97
  put16(wd, 10, 0x0200 | (content.encrypted ? 0x0100 : 0));  // 1Table, encrypted
  put16(wd, 32, 14);      // csw
  put16(wd, 62, 22);      // cslw
  put32(wd, 76, static_cast<std::uint32_t>(content.text.size()));  // ccpText
  put16(wd, 152, 93);     // cbRgFcLcb
  // The text in two pieces (so that the table is a real one): first half, second half.
  const std::size_t half = content.text.size() / 2;
  std::vector<std::uint32_t> fcs;
  for (std::size_t part = 0; part < 2; ++part) {
    const std::size_t from = part == 0 ? 0 : half;
    const std::size_t to = part == 0 ? half : content.text.size();
    const std::uint32_t at = static_cast<std::uint32_t>(wd.size());
    fcs.push_back(content.eightBitPieces ? (0x40000000u | (at * 2)) : at);
    for (std::size_t i = from; i < to; ++i) {
      if (content.eightBitPieces) wd.push_back(static_cast<std::uint8_t>(content.text[i]));
      else put16(wd, wd.size(), content.text[i]);
    }
  }
  wd.resize(wd.size() + 512, 0);

  std::vector<std::uint8_t>& table = s.table;
  table.assign(16, 0);  // something before the CLX
  const std::uint32_t fcClx = static_cast<std::uint32_t>(table.size());
  table.push_back(1);   // a Prc with two bytes of properties
  put16(table, table.size(), 2);
  table.push_back(0);
  table.push_back(0);
  table.push_back(2);   // the Pcdt
  const std::size_t lcbAt = table.size();
  append32(table, 0);
  const std::size_t plcAt = table.size();
  append32(table, 0);
  append32(table, static_cast<std::uint32_t>(half));
  append32(table, static_cast<std::uint32_t>(content.text.size()));
  for (std::uint32_t fc : fcs) {
    put16(table, table.size(), 0);
    append32(table, fc);
    put16(table, table.size(), 0);
  }
  put32(table, lcbAt, static_cast<std::uint32_t>(table.size() - plcAt));
  put32(wd, 418, fcClx);
  put32(wd, 422, static_cast<std::uint32_t>(table.size() - fcClx));
  return s;
}

std::vector<std::uint8_t> writeSummaryInformation(const std::string& title, const std::string& author,
                                                  std::uint64_t lastSavedFileTime) {
  struct Property {
    std::uint32_t id;
    std::vector<std::uint8_t> value;
  };
  std::vector<Property> props;
  std::vector<std::uint8_t> codePage;
  put16(codePage, 0, 2);       // VT_I2
  put16(codePage, 4, 65001);
  props.push_back({1, codePage});
  for (const auto& [id, text] : {std::pair<std::uint32_t, const std::string*>{2, &title}, {4, &author}}) {
    std::vector<std::uint8_t> v;
    put32(v, 0, 30);           // VT_LPSTR
    put32(v, 4, static_cast<std::uint32_t>(text->size() + 1));
    v.insert(v.end(), text->begin(), text->end());
    v.push_back(0);
    while (v.size() % 4) v.push_back(0);
    props.push_back({id, v});
  }
  if (lastSavedFileTime != 0) {
    std::vector<std::uint8_t> v;
    put32(v, 0, 64);           // VT_FILETIME
    put32(v, 4, static_cast<std::uint32_t>(lastSavedFileTime));
    put32(v, 8, static_cast<std::uint32_t>(lastSavedFileTime >> 32));
    props.push_back({13, v});
  }
  std::vector<std::uint8_t> section(8 + 8 * props.size(), 0);
  put32(section, 4, static_cast<std::uint32_t>(props.size()));
  for (std::size_t i = 0; i < props.size(); ++i) {
    put32(section, 8 + 8 * i, props[i].id);
    put32(section, 12 + 8 * i, static_cast<std::uint32_t>(section.size()));
    section.insert(section.end(), props[i].value.begin(), props[i].value.end());
  }
  put32(section, 0, static_cast<std::uint32_t>(section.size()));

  std::vector<std::uint8_t> stream(48, 0);
  put16(stream, 0, 0xFFFE);
  put16(stream, 4, 0x0A03);    // written on Windows
  put32(stream, 24, 1);
  const std::uint8_t fmtid[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                  0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
  for (std::size_t i = 0; i < 16; ++i) stream[28 + i] = fmtid[i];
  put32(stream, 44, 48);
  stream.insert(stream.end(), section.begin(), section.end());
  return stream;
}

}  // namespace

std::uint64_t fileTimeOf(std::int64_t unixSeconds) {
  return static_cast<std::uint64_t>(unixSeconds + 11'644'473'600LL) * 10'000'000ULL;
}

std::vector<std::uint8_t> writeWordDocument(const WordDocumentContent& content) {
  WordStreams s = writeWordStreams(content);
  return writeCompoundFile({{"WordDocument", s.wordDocument},
                            {"1Table", s.table},
                            {"\005SummaryInformation", writeSummaryInformation(content.title, content.author, content.lastSavedFileTime)}});
}

}  // namespace vellumark::test
