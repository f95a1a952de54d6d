#pragma once
// Reads a byte range of a source front to back on a thread of its own, a few large chunks
// ahead of the one being worked on, so that reading the source and examining what was read
// overlap. The chunks are handed out in order, each exactly once, and stay valid until the
// next call to next(): the caller works on them where they lie.
//
//   PrefetchReader reader(source, begin, end, {});
//   while (const PrefetchChunk* chunk = reader.next()) { ... chunk->bytes ... }
//
// Only the reader's thread touches the source while the reader lives: a caller that must
// read the source itself (say, sector by sector around a bad spot) destroys the reader
// first and makes a new one where it goes on.
//
// Memory is bounded: depth chunks of chunkBytes each, allocated once. A short range (a few
// chunks) is read on the caller's thread instead, into one buffer.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/large_pages.h"
#include "source/sector_source.h"

namespace vellumark {

struct PrefetchOptions {
  std::size_t chunkBytes = std::size_t{1} << 20;
  std::size_t depth = 4;  // chunks in the ring: one being worked on, the rest read ahead
  // When set, asked (on the reader's thread) for each chunk before it is read: false skips
  // the chunk unread (its status is Skipped). It must only read data nobody changes while
  // the reader lives.
  std::function<bool(std::int64_t offset, std::int64_t length)> wanted;
};

enum class ChunkStatus : std::uint8_t {
  Read,     // bytes holds the whole chunk
  Failed,   // the read failed or came back short: nothing of the chunk is to be trusted
  Skipped,  // not wanted, not read
};

struct PrefetchChunk {
  std::int64_t offset = 0;   // byte offset of the chunk in the source
  std::int64_t length = 0;   // bytes the chunk covers (the last one may be shorter)
  ChunkStatus status = ChunkStatus::Failed;
  std::span<const std::uint8_t> bytes;  // length bytes when Read, else empty
};

class PrefetchReader {
 public:
  // A range of at most this many chunks is read without a thread.
  static constexpr std::size_t kSmallRangeChunks = 16;

  // Reads [begin, end) of source in chunks of options.chunkBytes starting at begin.
  PrefetchReader(SectorSource& source, std::int64_t begin, std::int64_t end, PrefetchOptions options);
  // Stops the thread; waits for a read in flight.
  ~PrefetchReader();
  PrefetchReader(const PrefetchReader&) = delete;
  PrefetchReader& operator=(const PrefetchReader&) = delete;

  // The next chunk in order, waiting for it to be read; null past the end. The chunk handed
  // out before is given back to the ring.
  [[nodiscard]] const PrefetchChunk* next();

 private:
  struct Slot {
    std::span<std::uint8_t> buffer;  // within ring_
    PrefetchChunk chunk;
  };
  void run();
  void fill(Slot& slot, std::int64_t offset);

  SectorSource& source_;
  const std::int64_t end_;
  PrefetchOptions options_;
  // Every slot's buffer, in one block: a few MiB in large pages, which cost one first touch
  // each instead of hundreds.
  std::vector<std::uint8_t, platform::LargePageAllocator<std::uint8_t>> ring_;
  std::vector<Slot> slots_;
  std::mutex mutex_;
  std::condition_variable filledOne_;  // a slot was filled, or the thread ended
  std::condition_variable freedOne_;   // a slot was given back, or the reader is stopping
  std::size_t head_ = 0;      // the slot to hand out next
  std::size_t ready_ = 0;     // filled slots not handed out yet
  bool holding_ = false;      // a chunk is handed out (its slot is busy)
  bool stopping_ = false;
  bool producerDone_ = false;
  std::int64_t nextOffset_;   // of the next chunk the thread reads
  std::thread thread_;
};

}  // namespace vellumark
