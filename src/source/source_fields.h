#pragma once
// The opened source and its geometry: the part of the scan state that opening fills.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/os_error.h"
#include "source/sector_source.h"
#include "source/volume_geometry.h"

namespace vellumark {

inline constexpr std::uint32_t kMaxSectorSize = 4096;

struct SourceFields {
  std::unique_ptr<SectorSource> sourceHandle;  // null when no source is open
  std::string sourceName;                      // the path opened
  std::int64_t readPosition = 0;               // byte offset just past the last sector read
  std::int64_t viewSector = 0;                 // sector shown by the hex view
  VolumeGeometry detectedGeometry;             // what opening found
  VolumeGeometry geometry;                     // the geometry in force (user choices applied)
  std::array<std::uint8_t, kMaxSectorSize> sectorBuffer{};

  [[nodiscard]] bool isOpen() const { return sourceHandle != nullptr; }
};

// Opens path read-only, learns its size and sector size, examines the first 4096 bytes
// (volumes and image files; never whole disks) and fills both geometry records.
// Closes any source that was open first, even when the new opening fails.
[[nodiscard]] platform::Expected<bool> openSource(SourceFields& fields, const std::string& path);

// As openSource, for a source already made (in-memory sources in tests and benchmarks).
void openSource(SourceFields& fields, std::unique_ptr<SectorSource> source, std::string name);

void closeSource(SourceFields& fields);

// Reads sector s (bytesPerSector of the working geometry) into out. Fails when s lies
// outside 0..lastSector, the read fails, or fewer bytes than a whole sector arrive.
[[nodiscard]] bool readSector(SourceFields& fields, std::int64_t s, std::span<std::uint8_t> out);

}  // namespace vellumark
