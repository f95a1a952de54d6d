#pragma once
// The opened source and its geometry: the record that opening and closing own. The hex view
// and the scan both read through it; neither keeps its position or buffers here.

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
  VolumeGeometry detectedGeometry;             // what opening found
  VolumeGeometry geometry;                     // the geometry in force (user choices applied)
  bool bootAreaUnreadable = false;             // the first 4096 bytes could not be read at opening

  [[nodiscard]] bool isOpen() const { return sourceHandle != nullptr; }
};

// Opens path read-only, learns its size and sector size, examines the first 4096 bytes
// (a whole disk too, for a volume boot sector in sector 0) and fills both geometry records.
// Closes any source that was open first, even when the new opening fails.
[[nodiscard]] platform::Expected<bool> openSource(SourceFields& fields, const std::string& path);

// As openSource, for a source already made (in-memory sources in tests and benchmarks).
void openSource(SourceFields& fields, std::unique_ptr<SectorSource> source, std::string name);

void closeSource(SourceFields& fields);

// Reads sector s (bytesPerSector of the working geometry) into out. Fails when s lies
// outside 0..lastSector, the read fails, or fewer bytes than a whole sector arrive.
[[nodiscard]] bool readSector(const SourceFields& fields, std::int64_t s, std::span<std::uint8_t> out);

}  // namespace vellumark
