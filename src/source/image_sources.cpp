#include "source/image_sources.h"

#include <algorithm>
#include <cerrno>

namespace vellumark {

namespace {

std::string lowerExtension(const std::string& path) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

}  // namespace

ImageFormat imageFormatOf(const std::string& path) {
  const std::string ext = lowerExtension(path);
  if ((ext == ".e01" || ext == ".ex01") && platform::isEwfFile(path)) return ImageFormat::Ewf;
  if (ext == ".001") return ImageFormat::SplitRaw;
  return ImageFormat::Raw;
}

std::string nextPieceName(const std::string& piece) {
  const auto dot = piece.find_last_of('.');
  if (dot == std::string::npos || dot + 1 == piece.size()) return {};
  std::string digits = piece.substr(dot + 1);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return {};
  std::string next = std::to_string(std::stoull(digits) + 1);
  if (next.size() < digits.size()) next.insert(0, digits.size() - next.size(), '0');
  return piece.substr(0, dot + 1) + next;
}

SplitRawSource::SplitRawSource(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {
  for (Piece& p : pieces_) {
    p.start = size_;
    size_ += p.size;
  }
}

platform::Expected<std::size_t> SplitRawSource::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  // The piece holding offset: the last one that starts at or before it.
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                             [](std::uint64_t at, const Piece& p) { return at < p.start; });
  if (it == pieces_.begin()) return std::size_t{0};
  for (--it; it != pieces_.end() && done < buffer.size(); ++it) {
    const std::uint64_t at = offset + done;
    if (at >= it->start + it->size) continue;
    const std::uint64_t inPiece = at - it->start;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size() - done, it->size - inPiece));
    auto got = it->file.readAt(inPiece, buffer.subspan(done, n));
    if (!got) return got.error();
    done += *got;
    if (*got < n) break;  // a piece shorter than when it was opened
  }
  return done;
}

platform::Expected<std::unique_ptr<SectorSource>> openEwfSource(const std::string& firstSegment) {
  auto file = platform::openReadOnly(firstSegment);
  if (!file) return file.error();
  auto info = file->describe(firstSegment);
  if (!info) return info.error();
  auto image = platform::EwfImage::open(firstSegment);
  if (!image) return image.error();
  return std::unique_ptr<SectorSource>(std::make_unique<EwfSource>(std::move(*image), *info));
}

platform::Expected<std::unique_ptr<SectorSource>> openSplitRawSource(const std::string& first) {
  std::vector<SplitRawSource::Piece> pieces;
  for (std::string name = first; !name.empty(); name = nextPieceName(name)) {
    auto file = platform::openReadOnly(name);
    if (!file) {
      if (!pieces.empty() && file.error().code == ENOENT) break;
      return file.error();
    }
    auto info = file->describe(name);
    if (!info) return info.error();
    if (info->kind != SourceKind::ImageFile) return platform::OsError{0, name + " is not a regular file"};
    pieces.push_back({std::move(*file), 0, info->sizeBytes, *info});
  }
  return std::unique_ptr<SectorSource>(std::make_unique<SplitRawSource>(std::move(pieces)));
}

}  // namespace vellumark
