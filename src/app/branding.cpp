#include "app/branding.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>

#include <chrono>
#include <thread>

#include "platform/file.h"

namespace vellumark {

namespace {

std::string_view trimBlanks(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool readWhole(MemoryStream& stream, const platform::ReadOnlyFile& file, const std::string& path) {
  auto info = file.describe(path);
  if (!info) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info->sizeBytes));
  auto got = file.readAt(0, bytes);
  if (!got || *got != bytes.size()) return false;
  stream.bytes = std::move(bytes);
  stream.position = 0;
  return true;
}

// Inflates one whole zlib stream. Empty with an error text when it is not one.
std::vector<std::uint8_t> inflateWhole(std::span<const std::uint8_t> in, std::string& error) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    error = "zlib could not start";
    return {};
  }
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> chunk(65536);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
    if (out.size() > kMaxBrandingTextBytes) {
      rc = Z_MEM_ERROR;
      break;
    }
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    error = rc == Z_MEM_ERROR ? "the inflated data is too large" : (z.msg != nullptr ? z.msg : "truncated data");
    return {};
  }
  return out;
}

}  // namespace

bool loadFileToMemory(MemoryStream& stream, const std::string& path) {
  for (int attempt = 1; attempt <= kLoadAttempts; ++attempt) {
    if (auto file = platform::openReadOnly(path)) return readWhole(stream, *file, path);
    if (attempt < kLoadAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kLoadRetryDelayMs));
  }
  return false;
}

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
  }
  return lines;
}

bool loadTextFile(std::vector<std::string>& lines, const std::string& path) {
  MemoryStream stream;
  if (!loadFileToMemory(stream, path)) return false;
  lines = splitLines(std::string_view(reinterpret_cast<const char*>(stream.bytes.data()), stream.bytes.size()));
  return true;
}

std::string readCString(MemoryStream& stream) {
  if (stream.position >= stream.bytes.size()) return {};
  std::size_t end = stream.position;
  while (end < stream.bytes.size() && stream.bytes[end] != 0) ++end;
  std::string text(stream.bytes.begin() + static_cast<std::ptrdiff_t>(stream.position),
                   stream.bytes.begin() + static_cast<std::ptrdiff_t>(end));
  stream.position = std::min(end + 1, stream.bytes.size());
  return text;
}

BrandingResult loadBranding(const std::string& path) {
  BrandingResult result;
  // A file that is not there is not waited for; one that cannot be opened is tried again.
  if (auto probe = platform::openReadOnly(path); !probe && probe.error().code == ENOENT) return result;
  MemoryStream file;
  if (!loadFileToMemory(file, path)) return result;
  MemoryStream inflated;
  inflated.bytes = inflateWhole(file.bytes, result.error);
  if (!result.error.empty()) {
    result.status = BrandingStatus::NotCompressed;
    return result;
  }
  for (int i = 0; i < kBrandingSkippedStrings; ++i) (void)readCString(inflated);
  const std::vector<std::string> lines = splitLines(readCString(inflated));
  if (lines.size() < 4) return result;
  result.texts.brandName = trimBlanks(lines[0]);
  result.texts.brandStatusText = trimBlanks(lines[2]);
  result.texts.brandLink = trimBlanks(lines[3]);
  result.status = BrandingStatus::Loaded;
  return result;
}

std::vector<std::uint8_t> brandingFileBytes(const std::vector<std::string>& lines) {
  std::string plain;
  for (int i = 0; i < kBrandingSkippedStrings; ++i) plain += "vellumark-branding-" + std::to_string(i + 1) + '\0';
  for (std::size_t i = 0; i < lines.size(); ++i) plain += (i == 0 ? "" : "\r\n") + lines[i];
  plain += '\0';
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  std::vector<std::uint8_t> out(size);
  if (compress2(out.data(), &size, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uLong>(plain.size()),
                Z_BEST_COMPRESSION) != Z_OK)
    return {};
  out.resize(size);
  return out;
}

}  // namespace vellumark
