#pragma once
// Creating the files the program writes (recovered documents). Nothing here can open a
// source: sources go through openReadOnly in platform/file.h.
//
// A file is written under a temporary name in its destination folder and renamed to its
// final name only when every byte is on disk, so a failure (disk full, power cut, a crash)
// never leaves a partial file under the final name.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace vellumark::platform {

// A file being written under a temporary name. Move-only; a file that was not committed is
// removed on destruction.
class PendingOutputFile {
 public:
  PendingOutputFile() = default;
  PendingOutputFile(PendingOutputFile&& other) noexcept;
  PendingOutputFile& operator=(PendingOutputFile&& other) noexcept;
  PendingOutputFile(const PendingOutputFile&) = delete;
  PendingOutputFile& operator=(const PendingOutputFile&) = delete;
  ~PendingOutputFile();

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] const std::string& temporaryPath() const { return tempPath_; }

  // Appends all of data, retrying short writes and EINTR. After a failure part of data may
  // have been written; truncate puts the file back to a known length.
  [[nodiscard]] Expected<bool> write(std::span<const std::uint8_t> data);

  // Cuts the file to `bytes` bytes and places the next write there.
  [[nodiscard]] Expected<bool> truncate(std::uint64_t bytes);

  // Flushes to disk, closes and renames to finalPath, replacing a file of that name
  // (read-only or not). After a failure the temporary file is gone.
  [[nodiscard]] Expected<bool> commitAs(const std::string& finalPath);

  // Closes and removes the temporary file.
  void discard();

 private:
  friend Expected<PendingOutputFile> createPendingOutputFile(const std::string& finalPath);
  friend class OutputBatch;
  PendingOutputFile(int fd, std::string tempPath) : fd_(fd), tempPath_(std::move(tempPath)) {}
  int fd_ = -1;
  std::string tempPath_;
};

// Files written under temporary names that take their final names together. Each file's data
// is on disk before its rename, as with commitAs, but their writeback starts as each is
// added, the file system is flushed once for the whole batch, and each folder is synced once
// per batch: saving many small files is not a few disk round trips each. A crash leaves no partial file under a final
// name; the files of a batch not yet committed are hidden temporary files, removed when the
// batch is destroyed uncommitted.
class OutputBatch {
 public:
  // What became of one file at commit: error is set when it did not get its final name (its
  // temporary file is then gone).
  struct Outcome {
    std::string requestedPath;  // the final name it was to take
    std::string finalPath;      // the one it took (its first, when the other was taken)
    std::optional<OsError> error;
  };

  OutputBatch() = default;
  OutputBatch(const OutputBatch&) = delete;
  OutputBatch& operator=(const OutputBatch&) = delete;
  ~OutputBatch() = default;

  // Writes data to a new temporary file beside finalPath; it gets that name at commit,
  // replacing a file of that name as commitAs does.
  [[nodiscard]] Expected<bool> add(const std::string& finalPath, std::span<const std::uint8_t> data);
  [[nodiscard]] bool holds(const std::string& finalPath) const;
  // Gives a pending file another final name, which at commit never replaces an existing
  // file: should one have appeared there by then, the file keeps its first name. False when
  // no pending file has the name `from`.
  bool rename(const std::string& from, const std::string& to);
  // The temporary path of the pending file of that final name; "" when there is none.
  [[nodiscard]] std::string temporaryPathOf(const std::string& finalPath) const;
  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  [[nodiscard]] std::uint64_t bytes() const { return bytes_; }
  // Flushes every file's data, renames each to its final name and syncs each folder once.
  // The batch is empty afterwards.
  [[nodiscard]] std::vector<Outcome> commit();

 private:
  struct Entry {
    PendingOutputFile file;
    std::string firstPath;   // the name given to add
    std::string finalPath;   // the name it is to take
  };
  std::vector<Entry> entries_;
  std::uint64_t bytes_ = 0;
};

// Creates a new, empty temporary file in the folder of finalPath (named after it, with a
// unique suffix), readable by everyone and writable by the owner.
[[nodiscard]] Expected<PendingOutputFile> createPendingOutputFile(const std::string& finalPath);

// Writes data as the whole content of finalPath: temporary file, flush, rename.
[[nodiscard]] Expected<bool> writeWholeFile(const std::string& finalPath, std::span<const std::uint8_t> data);

// Removes the temporary files of the output files being written (one, or those of a batch),
// if there are any. Safe to call from a signal handler that ends the process at once, so
// that not even a hidden partial file is left behind.
void removeUnfinishedOutputFile() noexcept;

// Removes a file; a file that does not exist is not an error.
[[nodiscard]] Expected<bool> removeFile(const std::string& path);

// Renames a file, replacing one of the new name.
[[nodiscard]] Expected<bool> renameFile(const std::string& from, const std::string& to);

// Renames a file only when nothing has the new name: an existing file is never replaced
// (the error is then EEXIST). Atomic where the file system allows; where it can neither
// rename without replacing nor link, the name is tested first.
[[nodiscard]] Expected<bool> renameNoReplace(const std::string& from, const std::string& to);

// Sets a file's modification (and access) time, in seconds since 1970-01-01 UTC.
[[nodiscard]] Expected<bool> setModificationTime(const std::string& path, std::int64_t seconds);

// Creates a folder (one level) unless a folder of that name is already there.
[[nodiscard]] Expected<bool> makeDirectory(const std::string& path);

// True when a write failed because the file system (or the user's quota) is full.
[[nodiscard]] bool isOutOfSpace(const OsError& error);

// Bytes an unprivileged writer may still store in the file system holding folder; empty
// when that cannot be learnt.
[[nodiscard]] std::optional<std::uint64_t> availableBytes(const std::string& folder);

// What a path an output file is about to take names now (following links).
struct ExistingPath {
  bool exists = false;
  bool regularFile = false;
  std::uint64_t device = 0;  // st_dev and st_ino, to recognise a file already open elsewhere
  std::uint64_t inode = 0;
};
[[nodiscard]] ExistingPath inspectPath(const std::string& path);

// The folder part of a path ("." when it has none, "/" for files in the root).
[[nodiscard]] std::string folderOf(const std::string& path);

}  // namespace vellumark::platform
