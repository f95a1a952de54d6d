#pragma once
// Readers of the tables where Linux describes its storage: the mount table
// (/proc/self/mountinfo) and the small one-line files of sysfs. Shared by the output-folder
// check and the drive list.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumark::platform {

// One line of the mount table.
struct Mount {
  std::uint64_t device = 0;  // MAJ:MIN of the mounted file system (st_dev of its files)
  std::string point;
  std::string type;
  std::string source;
  std::string options;       // the file system's own options
};

// "ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS", with the
// octal escapes ("\040" for a space) undone. Empty for a malformed line.
[[nodiscard]] std::optional<Mount> parseMountLine(const std::string& line);
// Every well-formed line of a mountinfo file; empty when it cannot be read.
[[nodiscard]] std::vector<Mount> readMounts(const std::string& file);

// File systems kept in memory, and pseudo file systems: nothing of a disk below them.
[[nodiscard]] bool isMemoryFileSystem(const std::string& type);
[[nodiscard]] bool isFuse(const std::string& type);
// File systems whose storage is another machine.
[[nodiscard]] bool isNetworkFileSystem(const std::string& type);

// "MAJ:MIN" as written in sysfs "dev" files and in the mount table.
[[nodiscard]] bool parseDeviceNumber(const std::string& text, std::uint64_t& out);
[[nodiscard]] std::string deviceNumberText(std::uint64_t device);
// The first line of a (sysfs) file, without its newline.
[[nodiscard]] std::optional<std::string> firstLine(const std::filesystem::path& file);
// A "dev" file of sysfs.
[[nodiscard]] bool readDeviceFile(const std::filesystem::path& file, std::uint64_t& out);

}  // namespace vellumark::platform
