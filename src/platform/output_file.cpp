#include "platform/output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <utility>
#include <vector>

namespace vellumark::platform {

namespace {

// The temporary paths of the files being written, kept where a signal handler can read them
// without allocating or locking: the one being written and those of a batch. Only the
// thread that saves changes them. A path that finds no free slot is not removed by a signal.
constexpr std::size_t kUnfinishedSlots = 80;
struct UnfinishedSlot {
  char path[4096];
  std::atomic<bool> used{false};
};
UnfinishedSlot gUnfinished[kUnfinishedSlots];
static_assert(std::atomic<bool>::is_always_lock_free);

void noteUnfinished(const std::string& path) {
  if (path.size() >= sizeof gUnfinished[0].path) return;
  for (UnfinishedSlot& slot : gUnfinished) {
    if (slot.used.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return;
  }
}

void forgetUnfinished(const std::string& path) {
  for (UnfinishedSlot& slot : gUnfinished) {
    if (slot.used.load() && path == slot.path) {
      slot.used.store(false);
      return;
    }
  }
}

// Syncs a folder, so that the names just given in it are on disk.
void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string folderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

PendingOutputFile::PendingOutputFile(PendingOutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), tempPath_(std::move(other.tempPath_)) {
  other.tempPath_.clear();
}

PendingOutputFile& PendingOutputFile::operator=(PendingOutputFile&& other) noexcept {
  if (this != &other) {
    discard();
    fd_ = std::exchange(other.fd_, -1);
    tempPath_ = std::move(other.tempPath_);
    other.tempPath_.clear();
  }
  return *this;
}

PendingOutputFile::~PendingOutputFile() { discard(); }

void PendingOutputFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    forgetUnfinished(tempPath_);
  }
  tempPath_.clear();
}

Expected<bool> PendingOutputFile::write(std::span<const std::uint8_t> data) {
  if (fd_ < 0) return OsError{EBADF, "write " + tempPath_};
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return OsError{errno, "write " + tempPath_};
    }
    if (n == 0) return OsError{EIO, "write " + tempPath_};
    done += static_cast<std::size_t>(n);
  }
  return true;
}

Expected<bool> PendingOutputFile::truncate(std::uint64_t bytes) {
  if (fd_ < 0) return OsError{EBADF, "truncate " + tempPath_};
  if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) return OsError{errno, "truncate " + tempPath_};
  if (::lseek(fd_, static_cast<off_t>(bytes), SEEK_SET) < 0) return OsError{errno, "seek in " + tempPath_};
  return true;
}

Expected<bool> PendingOutputFile::commitAs(const std::string& finalPath) {
  if (fd_ < 0) return OsError{EBADF, "save " + finalPath};
  if (::fsync(fd_) != 0) {
    OsError error{errno, "flush " + tempPath_};
    discard();
    return error;
  }
  int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    OsError error{errno, "close " + tempPath_};
    discard();
    return error;
  }
  // The data is on disk before the name appears. rename replaces an existing file whatever
  // its permission bits: only the folder's matter.
  if (::rename(tempPath_.c_str(), finalPath.c_str()) != 0) {
    OsError error{errno, "rename " + tempPath_ + " to " + finalPath};
    discard();
    return error;
  }
  forgetUnfinished(tempPath_);
  tempPath_.clear();
  return true;
}

Expected<PendingOutputFile> createPendingOutputFile(const std::string& finalPath) {
  const std::string folder = folderOf(finalPath);
  const auto slash = finalPath.find_last_of('/');
  const std::string base = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  std::string pattern = folder + "/." + base + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd;
  do {
    fd = ::mkostemp(name.data(), O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OsError{errno, "create a file in " + folder};
  (void)::fchmod(fd, 0644);
  std::string tempPath(name.data());
  noteUnfinished(tempPath);
  return PendingOutputFile(fd, std::move(tempPath));
}

Expected<bool> writeWholeFile(const std::string& finalPath, std::span<const std::uint8_t> data) {
  auto pending = createPendingOutputFile(finalPath);
  if (!pending) return pending.error();
  if (auto written = pending->write(data); !written) return written.error();
  return pending->commitAs(finalPath);
}

void removeUnfinishedOutputFile() noexcept {
  for (UnfinishedSlot& slot : gUnfinished)
    if (slot.used.load()) ::unlink(slot.path);
}

Expected<bool> OutputBatch::add(const std::string& finalPath, std::span<const std::uint8_t> data) {
  auto pending = createPendingOutputFile(finalPath);
  if (!pending) return pending.error();
  if (auto written = pending->write(data); !written) return written.error();
  // Writeback starts now, so that the flush at commit mostly finds it done.
  (void)::sync_file_range(pending->fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
  entries_.push_back(Entry{std::move(*pending), finalPath, finalPath});
  bytes_ += data.size();
  return true;
}

bool OutputBatch::holds(const std::string& finalPath) const {
  for (const Entry& e : entries_)
    if (e.finalPath == finalPath) return true;
  return false;
}

bool OutputBatch::rename(const std::string& from, const std::string& to) {
  for (Entry& e : entries_) {
    if (e.finalPath != from) continue;
    e.finalPath = to;
    return true;
  }
  return false;
}

std::string OutputBatch::temporaryPathOf(const std::string& finalPath) const {
  for (const Entry& e : entries_)
    if (e.finalPath == finalPath) return e.file.tempPath_;
  return {};
}

namespace {

// The file systems that hold the files of a batch, each flushed once: one syncfs writes the
// data of every file of the batch, where a flush per file would wait for the disk once per
// file. A file system whose flush reports an error has its files flushed one by one, so that
// the error is the file's own, or none.
class BatchFlush {
 public:
  explicit BatchFlush(std::span<const int> fds) {
    std::vector<std::pair<dev_t, bool>> flushed;
    held_.reserve(fds.size());
    for (int fd : fds) {
      struct stat st {};
      if (::fstat(fd, &st) != 0) {
        held_.push_back(false);
        continue;
      }
      auto it = std::find_if(flushed.begin(), flushed.end(), [&](const auto& f) { return f.first == st.st_dev; });
      if (it == flushed.end()) it = flushed.insert(flushed.end(), {st.st_dev, ::syncfs(fd) == 0});
      held_.push_back(it->second);
    }
  }
  // Whether the data of the batch's file `i` is on the disk now.
  [[nodiscard]] bool holds(std::size_t i) const { return i < held_.size() && held_[i]; }

 private:
  std::vector<bool> held_;
};

}  // namespace

std::vector<OutputBatch::Outcome> OutputBatch::commit() {
  std::vector<Outcome> outcomes;
  outcomes.reserve(entries_.size());
  std::vector<std::string> folders;
  std::vector<int> fds;
  fds.reserve(entries_.size());
  for (const Entry& e : entries_) fds.push_back(e.file.fd_);
  const BatchFlush flush(fds);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    PendingOutputFile& f = e.file;
    Outcome outcome{e.finalPath, e.finalPath, std::nullopt};
    if (!flush.holds(i) && ::fdatasync(f.fd_) != 0) {
      outcome.error = OsError{errno, "flush " + f.tempPath_};
    } else if (::close(std::exchange(f.fd_, -1)) != 0) {
      outcome.error = OsError{errno, "close " + f.tempPath_};
    } else if (e.finalPath == e.firstPath) {
      if (::rename(f.tempPath_.c_str(), e.finalPath.c_str()) != 0)
        outcome.error = OsError{errno, "rename " + f.tempPath_ + " to " + e.finalPath};
    } else if (auto renamed = renameNoReplace(f.tempPath_, e.finalPath); !renamed) {
      // The other name was taken meanwhile: the file keeps the one it was saved under.
      outcome.finalPath = e.firstPath;
      if (::rename(f.tempPath_.c_str(), e.firstPath.c_str()) != 0)
        outcome.error = OsError{errno, "rename " + f.tempPath_ + " to " + e.firstPath};
    }
    if (outcome.error) {
      f.discard();
    } else {
      forgetUnfinished(f.tempPath_);
      f.tempPath_.clear();
      const std::string folder = folderOf(outcome.finalPath);
      if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    }
    outcomes.push_back(std::move(outcome));
  }
  for (const std::string& folder : folders) syncFolder(folder);
  entries_.clear();
  bytes_ = 0;
  return outcomes;
}

Expected<bool> removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return OsError{errno, "remove " + path};
  return true;
}

Expected<bool> renameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return OsError{errno, "rename " + from + " to " + to};
  return true;
}

Expected<bool> renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return OsError{errno, "rename " + from + " to " + to};
  // No RENAME_NOREPLACE here: a hard link fails on an existing name just as well.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) != 0) {
      OsError error{errno, "remove " + from};
      (void)::unlink(to.c_str());
      return error;
    }
    return true;
  }
  if (errno == EEXIST || (errno != EPERM && errno != ENOTSUP))
    return OsError{errno, "rename " + from + " to " + to};
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return OsError{EEXIST, "rename " + from + " to " + to};
  return renameFile(from, to);
}

Expected<bool> setModificationTime(const std::string& path, std::int64_t seconds) {
  struct timespec times[2] {};
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_sec = static_cast<time_t>(seconds);
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return OsError{errno, "set the time of " + path};
  return true;
}

Expected<bool> makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st {};
  if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  return OsError{errno, "create folder " + path};
}

bool isOutOfSpace(const OsError& error) { return error.code == ENOSPC || error.code == EDQUOT; }

std::optional<std::uint64_t> availableBytes(const std::string& folder) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

ExistingPath inspectPath(const std::string& path) {
  struct stat st {};
  ExistingPath facts;
  if (::stat(path.c_str(), &st) != 0) {
    // A dangling link still occupies the name.
    facts.exists = ::lstat(path.c_str(), &st) == 0;
    return facts;
  }
  facts.exists = true;
  facts.regularFile = S_ISREG(st.st_mode);
  facts.device = static_cast<std::uint64_t>(st.st_dev);
  facts.inode = static_cast<std::uint64_t>(st.st_ino);
  return facts;
}

}  // namespace vellumark::platform
