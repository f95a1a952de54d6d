#pragma once
// Real file systems made at test time on image files in a TempDir (mkfs.vfat, mkfs.exfat,
// mkntfs, mtools, ntfscp), and what The Sleuth Kit says about their allocation.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumark::test {

// Runs a shell command quietly; true when it exits with 0.
bool shellOk(const std::string& command);
// The path in single quotes for the shell.
std::string quoted(const std::filesystem::path& path);

// Makes an image file of `kib` KiB and formats it with `mkfsCommand` (given the image path
// as its last argument), e.g. "mkfs.vfat -F 16".
bool makeFileSystem(const std::filesystem::path& image, std::uint64_t kib, const std::string& mkfsCommand);

// mtools on a FAT image: copies a host file in as /name, deletes /name.
bool fatCopyIn(const std::filesystem::path& image, const std::filesystem::path& file, const std::string& name);
bool fatDelete(const std::filesystem::path& image, const std::string& name);
// ntfscp on an NTFS image: copies a host file in as /name.
bool ntfsCopyIn(const std::filesystem::path& image, const std::filesystem::path& file, const std::string& name);

// Allocation status of every block of the file system in the image, by `blkls -l -e`
// (a FAT or exFAT block is a sector, an NTFS block a cluster). Empty when blkls fails.
std::optional<std::vector<bool>> tskBlockAllocation(const std::filesystem::path& image);

// A file of `bytes` deterministic pseudo-random bytes in dir; returns its path.
std::filesystem::path randomFile(const std::filesystem::path& dir, const std::string& name, std::size_t bytes,
                                 std::uint32_t seed);

}  // namespace vellumark::test
