#pragma once
// The incremental check of a ZIP package for the fragment search: the records are walked
// as clusters come in, every entry's data is inflated (deflate state carried from cluster to
// cluster) and its CRC-32 and sizes compared when it ends, and the central directory and the
// end record must agree with the entries walked. Wrong data inside a deflate stream is
// usually refused within a few hundred bytes; a stored stretch is settled by its CRC-32.
//
// The check can go back to any state it saved, not only to one on the path taken last: the
// bytes a saved state was built from are kept (in pieces, one per cluster taken, shared by
// the states that took them), and put back into the assembled file when it is loaded. Pieces
// on the present path are held only once, in the assembled file.
//
// Packages as office programs write them are understood: stored and deflated entries with
// sizes in the local header, or a data descriptor after deflated data. A ZIP64 package, an
// encrypted entry or another method makes the check refuse, and the package is left to the
// ordinary walk.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carvers/gap_search.h"

namespace vellumark::zip {

class ZipFragmentCheck final : public FragmentCheck {
 public:
  explicit ZipFragmentCheck(std::int64_t maxBytes);
  ~ZipFragmentCheck() override;
  ZipFragmentCheck(const ZipFragmentCheck&) = delete;
  ZipFragmentCheck& operator=(const ZipFragmentCheck&) = delete;

  [[nodiscard]] FragmentVerdict take(Bytes cluster) override;
  void save(std::size_t slot) override;
  void load(std::size_t slot) override;
  void forget(std::size_t slot) override;
  [[nodiscard]] std::uint64_t decodedBytes() const override;
  [[nodiscard]] std::int64_t blameFrom() const override { return blame_; }
  [[nodiscard]] bool guided() const override { return guided_; }

  // The package, once take() said Complete: exactly its bytes, to the end of its comment.
  [[nodiscard]] Bytes package() const;
  // Bytes taken so far: a package given up is kept as far as it got.
  [[nodiscard]] Bytes assembled() const;

 private:
  struct State;
  struct Slot;
  struct Inflate;
  struct Local;
  struct Piece;
  using PiecePtr = std::shared_ptr<Piece>;

  [[nodiscard]] FragmentVerdict advance();
  [[nodiscard]] FragmentVerdict record();
  [[nodiscard]] FragmentVerdict data();
  [[nodiscard]] FragmentVerdict descriptor();
  [[nodiscard]] std::int64_t blameFor(std::int64_t clusterStart) const;
  [[nodiscard]] bool have(std::int64_t offset, std::int64_t n) const;
  void startInflate();
  // Makes the assembled file and the entries walked those of the path that ends in `tip`.
  void switchPath(const PiecePtr& tip);
  // The entry ended with sizes or a CRC-32 that do not agree: the fault may lie anywhere in it.
  [[nodiscard]] FragmentVerdict wholeEntryBroken();

  std::int64_t maxBytes_;
  std::vector<std::uint8_t> file_;
  std::unique_ptr<State> st_;
  std::unique_ptr<Inflate> z_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<Local> locals_;  // entries checked whole, in file order
  std::vector<PiecePtr> path_;  // the pieces of the present path, one for each take
  std::vector<std::uint8_t> scratch_;
  std::int64_t blame_ = 0;
  bool wholeEntry_ = false;
  bool guided_ = false;  // an entry checked whole, or deflated or markup data met (never restored)
  std::uint64_t decodedWork_ = 0;  // every byte checked, on every path tried (never restored)
};

// What the check makes of a local header at file offset `pos` whose bytes `h` begins with:
// Refused (whatever follows), Short (the header runs past `h`), or Taken; maxBytes as the
// check's.
enum class HeaderVerdict { Refused, Short, Taken };
[[nodiscard]] HeaderVerdict judgeLocalHeader(Bytes h, std::int64_t pos, std::int64_t maxBytes);

// True when the check (of that maxBytes) says Broken of any first piece that begins with
// `start`: its local header is refused, or its deflated data fails within these bytes. The
// first pass asks this of a package candidate's first sector, so that the search for its
// clusters need not read the candidate again to find that its first cluster is refused.
[[nodiscard]] bool firstPieceRefused(Bytes start, std::int64_t maxBytes);

}  // namespace vellumark::zip
