#include "platform/storage_topology.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/mount_table.h"

namespace vellumark::platform {

namespace fs = std::filesystem;

namespace {

// Deeper stacks than this are taken for a loop in the tables, not for real storage.
constexpr int kMaxDepth = 32;

std::string numberText(std::uint64_t device) { return deviceNumberText(device); }

fs::path sysBlockDir(const StorageView& view, std::uint64_t device) {
  return fs::path(view.sys) / "dev" / "block" / numberText(device);
}

bool isBlockDevice(const StorageView& view, std::uint64_t device) {
  std::error_code ec;
  return major(device) != 0 && fs::is_directory(sysBlockDir(view, device), ec);
}

// "/dev/NAME" after the sysfs directory of the device, or its number.
std::string blockName(const StorageView& view, std::uint64_t device) {
  std::error_code ec;
  const fs::path real = fs::canonical(sysBlockDir(view, device), ec);
  if (ec || real.filename().empty()) return "device " + numberText(device);
  return "/dev/" + real.filename().string();
}

std::optional<PathFacts> realStat(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  PathFacts facts;
  if (S_ISDIR(st.st_mode)) facts.type = PathFacts::Type::Directory;
  else if (S_ISREG(st.st_mode)) facts.type = PathFacts::Type::Regular;
  else if (S_ISBLK(st.st_mode)) facts.type = PathFacts::Type::Block;
  facts.device = st.st_dev;
  facts.inode = st.st_ino;
  facts.rdev = st.st_rdev;
  return facts;
}

std::optional<PathFacts> statPath(const StorageView& view, const std::string& path) {
  return view.stat ? view.stat(path) : realStat(path);
}

bool isUnder(const std::string& path, const std::string& point) {
  if (point == "/") return true;
  return path.compare(0, point.size(), point) == 0 && (path.size() == point.size() || path[point.size()] == '/');
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(path, ec);
  if (ec) p = fs::absolute(path, ec).lexically_normal();
  return p.string();
}

// The mount of the file system with device number `device`. Subvolumes (btrfs) report
// device numbers the table does not list: then the mount whose point holds `path`.
const Mount* findMount(const std::vector<Mount>& mounts, std::uint64_t device, const std::string& path) {
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (it->device == device) return &*it;
  }
  const std::string where = absolutePath(path);
  const Mount* best = nullptr;
  for (const Mount& m : mounts) {
    if (isUnder(where, m.point) && (best == nullptr || m.point.size() >= best->point.size())) best = &m;
  }
  return best;
}

std::string optionValue(const std::string& options, const std::string& key) {
  std::istringstream in(options);
  for (std::string item; std::getline(in, item, ',');) {
    if (item.compare(0, key.size() + 1, key + "=") == 0) return item.substr(key.size() + 1);
  }
  return {};
}

// Something that stores data: a block device, or a file (its file system and inode).
struct Identity {
  bool file = false;
  std::uint64_t device = 0;  // a block device's number; a file's st_dev
  std::uint64_t inode = 0;
  auto operator<=>(const Identity&) const = default;
};

struct Reached {
  Identity id;
  std::string route;     // how it was reached, for messages
  bool partial = false;  // reached through a partition: only that partition's part of it is concerned
};

struct Unresolved {
  std::string route;
  std::string why;
  bool couldBeFile = false;  // a loop device or FUSE mount: it could be backed by any file
};

// Everything found below a starting point. With followFileSystems the walk goes on from a
// file to the file system it lies on (what a write into the file reaches); without it only
// the devices and files whose bytes are the start's bytes are collected.
struct Walk {
  const StorageView& view;
  bool followFileSystems = true;
  std::vector<Reached> reached;
  std::vector<Unresolved> unresolved;
  std::optional<std::vector<Mount>> mounts;

  bool seen(const Identity& id) const {
    for (const Reached& r : reached) {
      if (r.id == id) return true;
    }
    return false;
  }
  bool tooDeep(int depth, const std::string& route) {
    if (depth <= kMaxDepth) return false;
    unresolved.push_back({route, "the storage is stacked too deeply to follow", true});
    return true;
  }
  const std::vector<Mount>& mountTable() {
    if (!mounts) mounts = readMounts(view.mountInfo);
    return *mounts;
  }
};

void walkFileSystem(Walk& w, std::uint64_t device, const std::string& path, const std::string& route, bool partial,
                    int depth);

void walkBlock(Walk& w, std::uint64_t device, const std::string& route, bool partial, int depth);

void walkFile(Walk& w, const std::string& path, const PathFacts& facts, const std::string& route, bool partial,
              int depth) {
  const Identity id{true, facts.device, facts.inode};
  if (w.seen(id) || w.tooDeep(depth, route)) return;
  w.reached.push_back({id, route, partial});
  if (w.followFileSystems) walkFileSystem(w, facts.device, path, route + ", which", partial, depth + 1);
}

// A path named as the storage of something (a mount source, a loop device's backing file).
void walkNamedPath(Walk& w, const std::string& path, const std::string& route, bool partial, int depth) {
  const auto facts = statPath(w.view, path);
  if (!facts) {
    w.unresolved.push_back({route, "'" + path + "' cannot be examined", true});
    return;
  }
  switch (facts->type) {
    case PathFacts::Type::Block: walkBlock(w, facts->rdev, route, partial, depth + 1); return;
    case PathFacts::Type::Regular: walkFile(w, path, *facts, route, partial, depth + 1); return;
    case PathFacts::Type::Directory:
      if (w.followFileSystems) walkFileSystem(w, facts->device, path, route + ", which", partial, depth + 1);
      return;
    case PathFacts::Type::Other: break;
  }
  w.unresolved.push_back({route, "'" + path + "' is neither a device, a file nor a folder", true});
}

void walkLoopBacking(Walk& w, const fs::path& dir, const std::string& route, bool partial, int depth) {
  auto backing = firstLine(dir / "loop" / "backing_file");
  if (!backing) return;
  const std::string_view deleted = " (deleted)";
  if (backing->size() >= deleted.size() && backing->compare(backing->size() - deleted.size(), deleted.size(), deleted) == 0) {
    w.unresolved.push_back({route, "it is a loop device whose backing file '" + *backing + "' was deleted", true});
    return;
  }
  walkNamedPath(w, *backing, route + ", a loop device over '" + *backing + "'", partial, depth);
}

void walkBlock(Walk& w, std::uint64_t device, const std::string& route, bool partial, int depth) {
  const Identity id{false, device, 0};
  if (w.seen(id) || w.tooDeep(depth, route)) return;
  w.reached.push_back({id, route, partial});
  const fs::path dir = sysBlockDir(w.view, device);
  walkLoopBacking(w, dir, route, partial, depth);
  std::error_code ec;
  std::uint64_t parent = 0;
  if (fs::exists(dir / "partition", ec) && readDeviceFile(dir / ".." / "dev", parent))
    walkBlock(w, parent, route + ", a partition of " + blockName(w.view, parent), true, depth + 1);
  for (const auto& entry : fs::directory_iterator(dir / "slaves", ec)) {
    std::uint64_t lower = 0;
    if (readDeviceFile(entry.path() / "dev", lower))
      walkBlock(w, lower, route + ", built on " + blockName(w.view, lower), partial, depth + 1);
  }
}

void walkMount(Walk& w, const Mount& m, const std::string& route, bool partial, int depth) {
  if (isMemoryFileSystem(m.type)) return;
  if (m.type == "overlay") {
    // Writes go to the upper directory; an overlay without one cannot be written.
    const std::string upper = optionValue(m.options, "upperdir");
    if (upper.empty()) return;
    const auto facts = statPath(w.view, upper);
    if (!facts) {
      w.unresolved.push_back({route, "its upper directory '" + upper + "' cannot be examined", false});
      return;
    }
    walkFileSystem(w, facts->device, upper, route + " whose upper directory '" + upper + "'", partial, depth + 1);
    return;
  }
  const bool fuse = isFuse(m.type);
  if (m.source.empty() || m.source[0] != '/') {
    w.unresolved.push_back({route + " of '" + m.source + "'",
                            fuse ? "a FUSE mount whose source names no device, file or folder"
                                 : "a file system whose storage cannot be examined from here",
                            fuse});
    return;
  }
  walkNamedPath(w, m.source, route + " of '" + m.source + "'", partial, depth);
}

// The file system with device number `device`, holding `path`.
void walkFileSystem(Walk& w, std::uint64_t device, const std::string& path, const std::string& route, bool partial,
                    int depth) {
  if (w.tooDeep(depth, route)) return;
  if (isBlockDevice(w.view, device)) {
    walkBlock(w, device, route + " is on " + blockName(w.view, device), partial, depth + 1);
    return;
  }
  const Mount* m = findMount(w.mountTable(), device, path);
  if (m == nullptr) {
    w.unresolved.push_back({route + " is on device " + numberText(device),
                            "no mount of it is listed in " + w.view.mountInfo, true});
    return;
  }
  walkMount(w, *m, route + " is on a " + m->type + " mount at " + m->point, partial, depth + 1);
}

std::string quote(const std::string& text) { return "'" + text + "'"; }

// Whether a write reaching `r` reaches the source.
struct SourceSide {
  std::set<std::uint64_t> inside;  // devices whose bytes all lie on the source
  std::vector<Reached> holders;    // devices and files that hold the source's bytes
};

SourceSide sourceSide(const SourceStorage& source, const StorageView& view) {
  SourceSide side;
  if (source.imageFile) {
    side.holders.push_back({Identity{true, source.device, source.inode}, quote(source.name), false});
    return side;
  }
  side.inside = devicesOn(source.device, source.wholeDisk, view);
  Walk below{view, false, {}, {}, {}};
  walkBlock(below, source.device, quote(source.name), false, 0);
  for (const Reached& r : below.reached) {
    if (r.id != Identity{false, source.device, 0}) side.holders.push_back(r);
  }
  return side;
}

std::optional<std::string> onSourceDetail(const Reached& r, const SourceSide& side, const SourceStorage& source) {
  const std::string name = quote(source.name);
  if (!r.id.file && side.inside.count(r.id.device) != 0)
    return r.route + (r.id.device == source.device ? ", which is the source " : ", which lies on the source ") + name;
  for (const Reached& h : side.holders) {
    if (h.id != r.id || (h.partial && r.partial)) continue;
    return r.route + (source.imageFile ? ", which is the source " + name : ", which holds the source " + name);
  }
  return std::nullopt;
}

}  // namespace

bool isDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::set<std::uint64_t> devicesOn(std::uint64_t device, bool wholeDisk, const StorageView& view) {
  std::set<std::uint64_t> devices{device};
  std::error_code ec;
  if (wholeDisk) {
    // Partitions: the subdirectories of the disk's sysfs directory with a "partition" file.
    for (const auto& entry : fs::directory_iterator(sysBlockDir(view, device), ec)) {
      std::error_code ignored;
      std::uint64_t dev = 0;
      if (entry.is_directory(ignored) && fs::exists(entry.path() / "partition", ignored) &&
          readDeviceFile(entry.path() / "dev", dev))
        devices.insert(dev);
    }
  }
  // Everything built on these (dm, md), transitively, through "holders".
  std::vector<std::uint64_t> pending(devices.begin(), devices.end());
  for (int rounds = 0; !pending.empty() && rounds < kMaxDepth; ++rounds) {
    std::vector<std::uint64_t> next;
    for (std::uint64_t d : pending) {
      for (const auto& entry : fs::directory_iterator(sysBlockDir(view, d) / "holders", ec)) {
        std::uint64_t dev = 0;
        if (readDeviceFile(entry.path() / "dev", dev) && devices.insert(dev).second) next.push_back(dev);
      }
    }
    pending = std::move(next);
  }
  return devices;
}

PlacementCheck checkOutputPlacement(const std::string& folder, const SourceStorage& source, const StorageView& view) {
  const std::string name = quote(source.name);
  const auto facts = statPath(view, folder);
  if (!facts) return {Placement::Unknown, quote(folder) + " cannot be examined, so it cannot be told whether it is on the source " + name};

  Walk output{view, true, {}, {}, {}};
  walkFileSystem(output, facts->device, folder, quote(folder), false, 0);

  const SourceSide side = sourceSide(source, view);
  for (const Reached& r : output.reached) {
    if (auto detail = onSourceDetail(r, side, source)) return {Placement::OnSource, *detail};
  }
  for (const Unresolved& u : output.unresolved) {
    if (source.imageFile && !u.couldBeFile) continue;
    return {Placement::Unknown,
            u.route + ": " + u.why + "; it cannot be told whether writing there would reach the source " + name};
  }
  if (!output.unresolved.empty()) {
    const Unresolved& u = output.unresolved.front();
    return {Placement::Elsewhere, u.route + ": " + u.why + ", and that cannot hold the image " + name};
  }
  std::string detail = "nothing that stores " + quote(folder) + " lies on the source " + name;
  if (!output.reached.empty()) detail += " (" + output.reached.back().route + ")";
  return {Placement::Elsewhere, detail};
}

}  // namespace vellumark::platform
