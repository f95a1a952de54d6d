#include "source/sector_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "source/image_sources.h"

namespace vellumark {

platform::Expected<std::unique_ptr<SectorSource>> openFileSource(const std::string& path) {
  switch (imageFormatOf(path)) {
    case ImageFormat::Ewf: return openEwfSource(path);
    case ImageFormat::SplitRaw: return openSplitRawSource(path);
    case ImageFormat::Raw: break;
  }
  auto file = platform::openReadOnly(path);
  if (!file) return file.error();
  auto info = file->describe(path);
  if (!info) return info.error();
  return std::unique_ptr<SectorSource>(std::make_unique<FileSource>(std::move(*file), *info));
}

platform::Expected<std::size_t> MemorySource::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  ++readCalls_;
  for (const BadRange& bad : bad_)
    if (bad.length > 0 && offset < bad.start + bad.length && offset + buffer.size() > bad.start)
      return platform::OsError{EIO, "read at byte " + std::to_string(offset)};
  if (offset >= bytes_.size()) return std::size_t{0};
  std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), bytes_.size() - offset));
  std::memcpy(buffer.data(), bytes_.data() + offset, n);
  return n;
}

}  // namespace vellumark
