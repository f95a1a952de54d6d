#include "carvers/zip_walk.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <optional>

#include "carvers/carver_framework.h"
#include "carvers/zip_walk_memory.h"
#include "util/crc32.h"

namespace vellumark::zip {

namespace {

// A raw deflate stream inflated piece by piece into a scratch buffer, keeping only the
// CRC-32 and the length of what came out.
class RawInflater {
 public:
  RawInflater() { ok_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK; }
  ~RawInflater() {
    if (ok_) inflateEnd(&z_);
  }
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  enum class Status { NeedInput, Done, Broken };

  // Feeds `input`; consumed() tells how much of it the stream took.
  // Keeps what comes out in `out` as well.
  void keepOutput(std::vector<std::uint8_t>* out) { kept_ = out; }

  Status feed(Bytes input, std::uint64_t maxOutput) {
    if (!ok_) return Status::Broken;
    lastConsumed_ = 0;
    z_.next_in = const_cast<Bytef*>(input.data());
    z_.avail_in = static_cast<uInt>(std::min<std::size_t>(input.size(), 1u << 30));
    const uInt given = z_.avail_in;
    for (;;) {
      z_.next_out = scratch_.data();
      z_.avail_out = static_cast<uInt>(scratch_.size());
      const int rc = inflate(&z_, Z_NO_FLUSH);
      const std::size_t out = scratch_.size() - z_.avail_out;
      crc_ = crc32Update(crc_, Bytes(scratch_.data(), out));
      produced_ += out;
      if (kept_ != nullptr && produced_ <= maxOutput) kept_->insert(kept_->end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(out));
      lastConsumed_ = given - z_.avail_in;
      if (produced_ > maxOutput) return Status::Broken;
      if (rc == Z_STREAM_END) return Status::Done;
      if (rc == Z_BUF_ERROR || (rc == Z_OK && z_.avail_in == 0 && z_.avail_out != 0)) return Status::NeedInput;
      if (rc != Z_OK) return Status::Broken;
    }
  }

  [[nodiscard]] std::uint64_t lastConsumed() const { return lastConsumed_; }
  [[nodiscard]] std::uint64_t totalConsumed() const { return z_.total_in; }
  [[nodiscard]] std::uint64_t produced() const { return produced_; }
  [[nodiscard]] std::uint32_t crc() const { return crc_; }

 private:
  z_stream z_{};
  bool ok_ = false;
  std::uint64_t lastConsumed_ = 0;
  std::uint64_t produced_ = 0;
  std::uint32_t crc_ = 0;
  std::vector<std::uint8_t>* kept_ = nullptr;
  std::array<Bytef, 64 * 1024> scratch_{};
};

// The ZIP64 extended-information field (id 1) of an extra area, if present.
std::optional<Bytes> zip64Field(Bytes extra) {
  std::size_t at = 0;
  while (at + 4 <= extra.size()) {
    const std::uint16_t id = le16(extra, at);
    const std::uint16_t size = le16(extra, at + 2);
    if (at + 4 + size > extra.size()) return std::nullopt;
    if (id == kZip64ExtraId) return extra.subspan(at + 4, size);
    at += 4 + std::size_t{size};
  }
  return std::nullopt;
}

std::string textOf(Bytes b) { return std::string(b.begin(), b.end()); }

class Walker {
 public:
  Walker(Carve& carve, const WalkOptions& options) : carve_(carve), o_(options), memory_(carve, options) {}

  WalkResult run() {
    WalkResult r;
    archive_ = &r.archive;
    std::int64_t pos = 0;
    for (;;) {
      r.stoppedAt = pos;
      if (pos > o_.maxArchiveBytes) return stop(r, WalkStop::RecordTooLong);
      if (!fetch(pos + 4)) return stop(r, WalkStop::OutOfRange);
      if (const std::optional<WalkStop> known = memory_.recall(pos, r.stoppedAt)) return stop(r, *known);
      if (!mustHold(pos)) carve_.discardBefore(pos);
      const std::uint32_t signature = le32(view(pos, 4), 0);
      WalkStop s = WalkStop::End;
      std::int64_t next = pos;
      switch (signature) {
        case kLocalHeader: s = localRecord(pos, r.archive, next); break;
        case kCentralHeader: s = centralRecord(pos, r.archive, next); break;
        case kDigitalSignature: s = sizedRecord(pos, kDigitalSignatureFixedBytes, le16At(pos + 4), next); break;
        case kArchiveExtraData: s = sizedRecord(pos, kArchiveExtraDataFixedBytes, le32At(pos + 4), next); break;
        case kZip64EndOfCentralDirectory: s = zip64End(pos, r.archive, next); break;
        case kZip64EndLocator: s = sizedRecord(pos, kZip64LocatorBytes, 0, next); break;
        case kEndOfCentralDirectory: s = endRecord(pos, r.archive, next); break;
        default: return stop(r, WalkStop::UnknownRecord);
      }
      if (s != WalkStop::End) return stop(r, s);
      if (signature != kCentralHeader && signature != kDigitalSignature && r.archive.centralOffset >= 0 &&
          r.archive.centralEnd < 0)
        r.archive.centralEnd = pos;
      if (signature == kEndOfCentralDirectory) {
        r.archive.length = next;
        r.stop = WalkStop::End;
        return r;
      }
      pos = next;
      memory_.passed();
    }
  }

 private:
  WalkResult stop(WalkResult& r, WalkStop s) {
    r.stop = s;
    memory_.teach(s, r.stoppedAt);
    return std::move(r);
  }

  bool fetch(std::int64_t end) { return carve_.fetchUpTo(end); }
  bool held(std::int64_t off, std::int64_t len) const {
    return off >= carve_.keptFrom() && off + len <= carve_.keptFrom() + static_cast<std::int64_t>(carve_.bytes().size());
  }
  // Bytes [off, off + len) of the file; empty when they are not all held.
  Bytes view(std::int64_t off, std::int64_t len) const {
    if (len < 0 || !held(off, len)) return {};
    return carve_.bytes().subspan(static_cast<std::size_t>(off - carve_.keptFrom()), static_cast<std::size_t>(len));
  }
  std::uint16_t le16At(std::int64_t off) { return fetch(off + 2) ? le16(view(off, 2), 0) : 0; }
  std::uint32_t le32At(std::int64_t off) { return fetch(off + 4) ? le32(view(off, 4), 0) : 0; }

  // Whether the bytes before `at` must stay held. The first time the walk would pass
  // holdBytes, holdPast is asked with every record seen so far, the one being read included,
  // so that no part of a file that is to be held whole is ever claimed unread.
  bool mustHold(std::int64_t at) {
    if (at <= o_.holdBytes) return true;
    if (!askedToHold_ && o_.holdPast) {
      askedToHold_ = true;
      Archive seen = *archive_;
      if (pending_ != nullptr) seen.locals.push_back(*pending_);
      if (o_.holdPast(seen)) o_.holdBytes = o_.maxArchiveBytes + 1;
    }
    return at <= o_.holdBytes;
  }

  // Moves on to `end`: fetched in full while bytes are held, else claimed unread where whole
  // sectors of it lie before `end`.
  bool reach(std::int64_t end) {
    if (!mustHold(end)) {
      const std::int64_t bps = carve_.bytesPerSector();
      const std::int64_t whole = end - end % bps;
      if (whole > carve_.filled() && !carve_.claimUpTo(whole)) return false;
    }
    return fetch(end);
  }

  WalkStop sizedRecord(std::int64_t pos, std::size_t fixed, std::uint64_t variable, std::int64_t& next) {
    if (!fetch(pos + static_cast<std::int64_t>(fixed))) return WalkStop::OutOfRange;
    const std::int64_t length = static_cast<std::int64_t>(fixed) + static_cast<std::int64_t>(variable);
    if (static_cast<std::uint64_t>(length) > static_cast<std::uint64_t>(o_.maxRecordBytes)) return WalkStop::RecordTooLong;
    next = pos + length;
    return reach(next) ? WalkStop::End : WalkStop::OutOfRange;
  }

  WalkStop localRecord(std::int64_t pos, Archive& a, std::int64_t& next) {
    if (!fetch(pos + static_cast<std::int64_t>(kLocalHeaderBytes))) return WalkStop::OutOfRange;
    LocalRecord rec;
    {
      const Bytes h = view(pos, kLocalHeaderBytes);
      rec.offset = pos;
      rec.flags = le16(h, kLocalFlagsOffset);
      rec.method = le16(h, kLocalMethodOffset);
      rec.crc = le32(h, kLocalCrcOffset);
      rec.compressedSize = le32(h, kLocalCompressedSizeOffset);
      rec.uncompressedSize = le32(h, kLocalUncompressedSizeOffset);
    }
    const std::size_t nameLength = le16(view(pos, kLocalHeaderBytes), kLocalNameLengthOffset);
    const std::size_t extraLength = le16(view(pos, kLocalHeaderBytes), kLocalExtraLengthOffset);
    const std::int64_t headerLength = static_cast<std::int64_t>(kLocalHeaderBytes + nameLength + extraLength);
    if (!fetch(pos + headerLength)) return WalkStop::OutOfRange;
    rec.name = textOf(view(pos + static_cast<std::int64_t>(kLocalNameOffset), static_cast<std::int64_t>(nameLength)));
    const Bytes extra = view(pos + static_cast<std::int64_t>(kLocalNameOffset + nameLength), static_cast<std::int64_t>(extraLength));
    const std::optional<Bytes> z64 = zip64Field(extra);
    const bool wide = z64.has_value();
    if (z64 && z64->size() >= 16 && (rec.uncompressedSize == kZip64Marker || rec.compressedSize == kZip64Marker)) {
      rec.uncompressedSize = le64(*z64, 0);
      rec.compressedSize = le64(*z64, 8);
    }
    rec.dataOffset = pos + headerLength;
    pending_ = &rec;
    const WalkStop s = localData(rec, headerLength, wide);
    pending_ = nullptr;
    if (s != WalkStop::End) return s;
    next = rec.end;
    a.locals.push_back(std::move(rec));
    return WalkStop::End;
  }

  // Finds where the entry's data (and its descriptor) ends.
  WalkStop localData(LocalRecord& rec, std::int64_t headerLength, bool wide) {
    WalkStop s = WalkStop::End;
    if (!(rec.flags & kFlagDataDescriptor)) {
      if (rec.compressedSize > static_cast<std::uint64_t>(o_.maxRecordBytes) - static_cast<std::uint64_t>(headerLength))
        return WalkStop::RecordTooLong;
      rec.dataEnd = rec.dataOffset + static_cast<std::int64_t>(rec.compressedSize);
      rec.end = rec.dataEnd;
      if (o_.checkRecordEnds && rec.end <= o_.maxArchiveBytes && !memory_.passesRecordEnd(rec.end)) {
        if (const WalkStop ahead = checkRecordEnd(carve_, rec.end, o_); ahead != WalkStop::End) return ahead;
      }
      if (!reach(rec.end)) return WalkStop::OutOfRange;
    } else if (rec.method == kMethodDeflated) {
      s = inflateToEnd(rec, headerLength);
      if (s == WalkStop::End) s = readDescriptor(rec, wide);
    } else if (rec.method == kMethodStored) {
      s = searchStoredDescriptor(rec, headerLength);
    } else if (rec.compressedSize != 0 && rec.compressedSize != kZip64Marker &&
               rec.compressedSize <= static_cast<std::uint64_t>(o_.maxRecordBytes)) {
      // Another method whose writer still gave the size: the descriptor must repeat it.
      rec.dataEnd = rec.dataOffset + static_cast<std::int64_t>(rec.compressedSize);
      if (!reach(rec.dataEnd)) return WalkStop::OutOfRange;
      s = readDescriptor(rec, wide);
    } else {
      return WalkStop::BadEntry;
    }
    return s;
  }

  // Inflates the entry's data as the sectors come in, to where its deflate stream ends.
  WalkStop inflateToEnd(LocalRecord& rec, std::int64_t headerLength) {
    RawInflater inflater;
    std::int64_t in = rec.dataOffset;
    const std::int64_t limit = rec.dataOffset + o_.maxRecordBytes - headerLength;
    for (;;) {
      const std::int64_t available = carve_.keptFrom() + static_cast<std::int64_t>(carve_.bytes().size());
      if (in >= available) {
        if (in >= limit) return WalkStop::RecordTooLong;
        if (!fetch(carve_.filled() + 1)) return WalkStop::OutOfRange;
        continue;
      }
      const std::int64_t n = std::min(available, limit) - in;
      const auto status = inflater.feed(view(in, n), o_.maxInflatedBytes);
      in += static_cast<std::int64_t>(inflater.lastConsumed());
      if (status == RawInflater::Status::Broken) return WalkStop::BadEntry;
      if (!mustHold(in)) carve_.discardBefore(in);
      if (status == RawInflater::Status::Done) break;
    }
    rec.dataEnd = in;
    rec.contentKnown = true;
    rec.dataCrc = inflater.crc();
    rec.dataSize = inflater.produced();
    return WalkStop::End;
  }

  // The descriptor after the data must agree with what the data is: its CRC-32 (when the walk
  // knows it) and both sizes.
  WalkStop readDescriptor(LocalRecord& rec, bool zip64Entry) {
    const std::int64_t p = rec.dataEnd;
    const std::uint64_t compressed = static_cast<std::uint64_t>(rec.dataEnd - rec.dataOffset);
    if (!fetch(p + 16)) return WalkStop::OutOfRange;
    const bool signed_ = le32(view(p, 4), 0) == kDataDescriptor;
    for (int withSignature = signed_ ? 1 : 0; withSignature >= 0; --withSignature) {
      const std::int64_t base = p + 4 * withSignature;
      for (int w = 0; w < 2; ++w) {
        const bool wide = (w == 0) == zip64Entry;
        if (wide && !fetch(base + 20)) continue;
        const Bytes d = view(base, wide ? 20 : 12);
        if (d.empty()) continue;
        const std::uint32_t crc = le32(d, 0);
        const std::uint64_t csize = wide ? le64(d, 4) : le32(d, 4);
        const std::uint64_t usize = wide ? le64(d, 12) : le32(d, 8);
        // Without inflated content (a method the walk cannot inflate) only the compressed
        // size can be held against the data.
        const bool agrees = csize == compressed && (!rec.contentKnown || (crc == rec.dataCrc && usize == rec.dataSize));
        if (agrees) {
          rec.hasDescriptor = true;
          rec.crc = crc;
          rec.compressedSize = csize;
          rec.uncompressedSize = usize;
          rec.end = base + (wide ? 20 : 12);
          return fetch(rec.end) ? WalkStop::End : WalkStop::OutOfRange;
        }
      }
    }
    return WalkStop::BadEntry;
  }

  // A stored entry with a descriptor: the data ends where a descriptor follows whose sizes
  // both equal the bytes since the data began and whose CRC-32 is theirs.
  WalkStop searchStoredDescriptor(LocalRecord& rec, std::int64_t headerLength) {
    const std::int64_t limit = rec.dataOffset + o_.maxRecordBytes - headerLength;
    std::uint32_t crc = 0;
    std::int64_t crcTo = rec.dataOffset;  // crc covers [dataOffset, crcTo)
    auto crcUpTo = [&](std::int64_t q) {
      crc = crc32Update(crc, view(crcTo, q - crcTo));
      crcTo = q;
    };
    for (std::int64_t q = rec.dataOffset; q <= limit; ++q) {
      // Room for the longest descriptor form at q.
      if (!held(q, 24) && !fetch(q + 24)) return WalkStop::OutOfRange;
      const Bytes d = view(q, 24);
      const std::uint64_t n = static_cast<std::uint64_t>(q - rec.dataOffset);
      const bool signed_ = le32(d, 0) == kDataDescriptor;
      int form = 0;  // 1 signed 32-bit, 2 signed 64-bit, 3 unsigned 32-bit
      if (signed_ && le32(d, 8) == n && le32(d, 12) == n) form = 1;
      else if (signed_ && le64(d, 8) == n && le64(d, 16) == n) form = 2;
      else if (le32(d, 4) == n && le32(d, 8) == n) form = 3;
      if (form != 0) {
        crcUpTo(q);
        const std::uint32_t stored = le32(d, form == 3 ? 0 : 4);
        if (stored == crc) {
          rec.dataEnd = q;
          rec.hasDescriptor = true;
          rec.contentKnown = true;
          rec.crc = rec.dataCrc = crc;
          rec.compressedSize = rec.uncompressedSize = rec.dataSize = n;
          rec.end = q + (form == 1 ? 16 : form == 2 ? 24 : 12);
          return WalkStop::End;
        }
      }
      if (q - crcTo >= 65536) {
        crcUpTo(q);
        if (!mustHold(q)) carve_.discardBefore(q);
      }
    }
    return WalkStop::RecordTooLong;
  }

  WalkStop centralRecord(std::int64_t pos, Archive& a, std::int64_t& next) {
    if (!fetch(pos + static_cast<std::int64_t>(kCentralHeaderBytes))) return WalkStop::OutOfRange;
    const Bytes h = view(pos, kCentralHeaderBytes);
    CentralRecord rec;
    rec.offset = pos;
    rec.flags = le16(h, kCentralFlagsOffset);
    rec.method = le16(h, kCentralMethodOffset);
    rec.crc = le32(h, kCentralCrcOffset);
    rec.compressedSize = le32(h, kCentralCompressedSizeOffset);
    rec.uncompressedSize = le32(h, kCentralUncompressedSizeOffset);
    rec.diskStart = le16(h, kCentralDiskStartOffset);
    rec.localOffset = le32(h, kCentralLocalOffsetOffset);
    const std::size_t nameLength = le16(h, kCentralNameLengthOffset);
    const std::size_t extraLength = le16(h, kCentralExtraLengthOffset);
    const std::size_t commentLength = le16(h, kCentralCommentLengthOffset);
    const std::int64_t length = static_cast<std::int64_t>(kCentralHeaderBytes + nameLength + extraLength + commentLength);
    if (length > o_.maxRecordBytes) return WalkStop::RecordTooLong;
    if (!fetch(pos + length)) return WalkStop::OutOfRange;
    rec.name = textOf(view(pos + static_cast<std::int64_t>(kCentralNameOffset), static_cast<std::int64_t>(nameLength)));
    const Bytes extra = view(pos + static_cast<std::int64_t>(kCentralNameOffset + nameLength), static_cast<std::int64_t>(extraLength));
    if (const std::optional<Bytes> z64 = zip64Field(extra)) {
      // Only the fields whose 32-bit value is the marker are present, in this order.
      std::size_t at = 0;
      auto take64 = [&](std::uint64_t& field) {
        if (field != kZip64Marker || at + 8 > z64->size()) return;
        field = le64(*z64, at);
        at += 8;
      };
      take64(rec.uncompressedSize);
      take64(rec.compressedSize);
      take64(rec.localOffset);
    }
    if (a.centralOffset < 0) a.centralOffset = pos;
    a.centrals.push_back(std::move(rec));
    next = pos + length;
    return WalkStop::End;
  }

  WalkStop zip64End(std::int64_t pos, Archive& a, std::int64_t& next) {
    if (!fetch(pos + static_cast<std::int64_t>(kZip64EndFixedBytes))) return WalkStop::OutOfRange;
    const Bytes h = view(pos, kZip64EndFixedBytes);
    const std::uint64_t size = le64(h, kZip64EndSizeOffset);
    if (size < kZip64EndFixedBytes - 12 || size > static_cast<std::uint64_t>(o_.maxRecordBytes)) return WalkStop::RecordTooLong;
    a.hasZip64End = true;
    a.declaredEntries = le64(h, kZip64EndEntryCountOffset);
    a.declaredCentralSize = le64(h, kZip64EndCentralSizeOffset);
    a.declaredCentralOffset = le64(h, kZip64EndCentralOffsetOffset);
    next = pos + 12 + static_cast<std::int64_t>(size);
    return reach(next) ? WalkStop::End : WalkStop::OutOfRange;
  }

  WalkStop endRecord(std::int64_t pos, Archive& a, std::int64_t& next) {
    if (!fetch(pos + static_cast<std::int64_t>(kEndRecordBytes))) return WalkStop::OutOfRange;
    const Bytes h = view(pos, kEndRecordBytes);
    const std::uint16_t entries = le16(h, kEndEntryCountOffset);
    const std::uint32_t centralSize = le32(h, kEndCentralSizeOffset);
    const std::uint32_t centralOffset = le32(h, kEndCentralOffsetOffset);
    // Where the end record defers to the ZIP64 end record, that one's values stand.
    if (!a.hasZip64End || entries != 0xFFFF) a.declaredEntries = entries;
    if (!a.hasZip64End || centralSize != kZip64Marker) a.declaredCentralSize = centralSize;
    if (!a.hasZip64End || centralOffset != kZip64Marker) a.declaredCentralOffset = centralOffset;
    a.endRecordOffset = pos;
    next = pos + static_cast<std::int64_t>(kEndRecordBytes) + le16(h, kEndCommentLengthOffset);
    return fetch(next) ? WalkStop::End : WalkStop::OutOfRange;
  }

  Carve& carve_;
  WalkOptions o_;
  bool askedToHold_ = false;
  const Archive* archive_ = nullptr;     // what the walk has seen so far
  const LocalRecord* pending_ = nullptr; // the local record being read
  WalkMemory memory_;
};

const LocalRecord* localAt(const Archive& a, std::uint64_t offset) {
  const auto it = std::lower_bound(a.locals.begin(), a.locals.end(), offset,
                                   [](const LocalRecord& r, std::uint64_t off) { return static_cast<std::uint64_t>(r.offset) < off; });
  if (it == a.locals.end() || static_cast<std::uint64_t>(it->offset) != offset) return nullptr;
  return &*it;
}

// The entry's data, read or inflated, has exactly the CRC-32 and sizes the central
// directory gives.
std::string checkContent(Bytes file, const LocalRecord& local, const CentralRecord& central) {
  if (local.flags & kFlagEncrypted) return "encrypted entry " + central.name;
  const std::uint64_t compressed = static_cast<std::uint64_t>(local.dataEnd - local.dataOffset);
  if (compressed != central.compressedSize) return "compressed size of " + central.name;
  if (local.contentKnown) {
    if (local.dataCrc != central.crc || local.dataSize != central.uncompressedSize) return "content of " + central.name;
    return {};
  }
  if (!fits(file, static_cast<std::size_t>(local.dataOffset), static_cast<std::size_t>(compressed))) return "data outside the file";
  const Bytes data = file.subspan(static_cast<std::size_t>(local.dataOffset), static_cast<std::size_t>(compressed));
  if (central.method == kMethodStored) {
    if (compressed != central.uncompressedSize || crc32Of(data) != central.crc) return "content of " + central.name;
    return {};
  }
  if (central.method != kMethodDeflated) return "unsupported method in " + central.name;
  const InflateResult r = inflateRaw(data, central.uncompressedSize);
  if (!r.complete || r.consumed != compressed || r.produced != central.uncompressedSize || r.crc != central.crc)
    return "content of " + central.name;
  return {};
}

}  // namespace

InflateResult inflateRaw(Bytes compressed, std::uint64_t maxOutput) {
  RawInflater inflater;
  InflateResult r;
  std::uint64_t offset = 0;
  for (;;) {
    const auto status = inflater.feed(compressed.subspan(static_cast<std::size_t>(offset)), maxOutput);
    offset += inflater.lastConsumed();
    if (status == RawInflater::Status::Done) r.complete = true;
    if (status != RawInflater::Status::NeedInput || offset >= compressed.size()) break;
  }
  r.consumed = offset;
  r.produced = inflater.produced();
  r.crc = inflater.crc();
  return r;
}

std::string_view stopReason(WalkStop stop) {
  switch (stop) {
    case WalkStop::End: return "";
    case WalkStop::UnknownRecord: return "bytes that are no ZIP record where one should begin";
    case WalkStop::OutOfRange: return "its ZIP records run past the scan range or a read failed";
    case WalkStop::RecordTooLong: return "a ZIP record longer than 200 MiB, or an archive longer than 4 GiB";
    case WalkStop::BadEntry: return "an entry whose end cannot be found (broken deflate data or a lying descriptor)";
  }
  return "";
}

WalkResult walkArchive(Carve& carve, const WalkOptions& options) {
  if (!carve.started() || le32(carve.bytes(), 0) != kLocalHeader) return WalkResult{WalkStop::UnknownRecord, 0, {}};
  return Walker(carve, options).run();
}

bool beganInsideArchive(const Archive& a) {
  return a.centralOffset >= 0 && a.declaredCentralOffset > static_cast<std::uint64_t>(a.centralOffset);
}

std::string checkArchive(Bytes file, const Archive& a) {
  if (a.centrals.empty()) return "no central directory";
  if (a.declaredEntries != a.centrals.size()) return "entry count of the end record";
  if (a.declaredCentralOffset != static_cast<std::uint64_t>(a.centralOffset) ||
      a.declaredCentralSize != static_cast<std::uint64_t>(a.centralEnd - a.centralOffset))
    return "central directory place of the end record";
  if (a.locals.size() != a.centrals.size()) return "local headers without central entries";
  std::vector<bool> referenced(a.locals.size(), false);
  for (const CentralRecord& c : a.centrals) {
    const LocalRecord* local = localAt(a, c.localOffset);
    if (local == nullptr) return "central entry " + c.name + " points at no local header";
    const std::size_t index = static_cast<std::size_t>(local - a.locals.data());
    if (referenced[index]) return "two central entries for " + c.name;
    referenced[index] = true;
    if (local->name != c.name || local->method != c.method) return "local header of " + c.name;
    // Sizes in a local header that defers to its descriptor may be 0; the descriptor's stand.
    const bool headerSizes = !(local->flags & kFlagDataDescriptor) || local->hasDescriptor;
    if (headerSizes && (local->crc != c.crc || local->compressedSize != c.compressedSize ||
                        local->uncompressedSize != c.uncompressedSize))
      return "sizes of " + c.name;
    if (std::string problem = checkContent(file, *local, c); !problem.empty()) return problem;
  }
  return {};
}

std::optional<std::vector<std::uint8_t>> entryContent(Bytes file, const Archive& archive, std::string_view name,
                                                      std::uint64_t maxOutput) {
  for (const LocalRecord& local : archive.locals) {
    const Bytes localName(reinterpret_cast<const std::uint8_t*>(local.name.data()), local.name.size());
    if (local.name.size() != name.size() || !bytesEqualNoCase(localName, 0, name)) continue;
    if ((local.flags & kFlagEncrypted) || local.dataEnd < local.dataOffset ||
        !fits(file, static_cast<std::size_t>(local.dataOffset), static_cast<std::size_t>(local.dataEnd - local.dataOffset)))
      return std::nullopt;
    const Bytes data = file.subspan(static_cast<std::size_t>(local.dataOffset), static_cast<std::size_t>(local.dataEnd - local.dataOffset));
    if (local.method == kMethodStored) {
      if (data.size() > maxOutput) return std::nullopt;
      return std::vector<std::uint8_t>(data.begin(), data.end());
    }
    if (local.method != kMethodDeflated) return std::nullopt;
    std::vector<std::uint8_t> out;
    RawInflater inflater;
    inflater.keepOutput(&out);
    if (inflater.feed(data, maxOutput) != RawInflater::Status::Done) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

}  // namespace vellumark::zip
