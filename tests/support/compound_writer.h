#pragma once
// A small writer of valid OLE2 compound files, with 512- or 4096-byte sectors: streams of
// 4096 bytes or more in their own sector chains, shorter ones in the mini stream, all
// streams children of the root storage.

#include <cstdint>
#include <string>
#include <vector>

namespace vellumark::test {

struct CompoundStream {
  std::string name;
  std::vector<std::uint8_t> content;
};

struct CompoundOptions {
  std::uint32_t sectorBytes = 512;   // 512 (version 3) or 4096 (version 4)
  bool blankRootName = false;        // leave the root entry's name empty, as some writers do
  bool fatSectorsListedBackwards = false;  // the header lists the FAT sectors last first
};

std::vector<std::uint8_t> writeCompoundFile(const std::vector<CompoundStream>& streams, const CompoundOptions& options = {});

// The header alone (512 bytes) of a compound file of 512-byte sectors that lists one FAT
// sector and begins no DIFAT chain, as headers of noise found on a disk do.
std::vector<std::uint8_t> compoundHeader(std::uint32_t fatSector, std::uint32_t firstDirectorySector);

}  // namespace vellumark::test
