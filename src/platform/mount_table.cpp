#include "platform/mount_table.h"

#include <sys/sysmacros.h>

#include <fstream>
#include <set>
#include <sstream>

namespace vellumark::platform {

namespace {

// Undoes the octal escapes of the mount table ("\040" for a space, ...).
std::string unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool octal = text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
                       text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7';
    if (!octal) {
      out += text[i];
      continue;
    }
    out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
    i += 3;
  }
  return out;
}

}  // namespace

std::optional<Mount> parseMountLine(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> fields;
  for (std::string field; in >> field;) fields.push_back(field);
  std::size_t dash = 6;
  while (dash < fields.size() && fields[dash] != "-") ++dash;
  if (dash + 2 >= fields.size()) return std::nullopt;
  Mount m;
  if (!parseDeviceNumber(fields[2], m.device)) return std::nullopt;
  m.point = unescape(fields[4]);
  m.type = unescape(fields[dash + 1]);
  m.source = unescape(fields[dash + 2]);
  if (dash + 3 < fields.size()) m.options = unescape(fields[dash + 3]);
  return m;
}

std::vector<Mount> readMounts(const std::string& file) {
  std::vector<Mount> mounts;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (auto m = parseMountLine(line)) mounts.push_back(std::move(*m));
  }
  return mounts;
}

bool isFuse(const std::string& type) { return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0; }

bool isMemoryFileSystem(const std::string& type) {
  static const std::set<std::string> kTypes{"tmpfs",  "ramfs",   "devtmpfs",   "hugetlbfs", "proc",   "sysfs",
                                            "devpts", "mqueue",  "cgroup",     "cgroup2",   "debugfs", "tracefs",
                                            "securityfs", "pstore", "bpf", "configfs", "fusectl", "binfmt_misc"};
  return kTypes.count(type) != 0;
}

bool isNetworkFileSystem(const std::string& type) {
  static const std::set<std::string> kTypes{"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "9p", "afs", "ceph",
                                            "glusterfs", "fuse.sshfs"};
  return kTypes.count(type) != 0;
}

bool parseDeviceNumber(const std::string& text, std::uint64_t& out) {
  unsigned maj = 0;
  unsigned min = 0;
  char colon = 0;
  std::istringstream in(text);
  if (!(in >> maj >> colon >> min) || colon != ':') return false;
  out = makedev(maj, min);
  return true;
}

std::string deviceNumberText(std::uint64_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::optional<std::string> firstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text;
  if (!in || !std::getline(in, text)) return std::nullopt;
  return text;
}

bool readDeviceFile(const std::filesystem::path& file, std::uint64_t& out) {
  auto text = firstLine(file);
  return text && parseDeviceNumber(*text, out);
}

}  // namespace vellumark::platform
