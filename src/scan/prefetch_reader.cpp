#include "scan/prefetch_reader.h"

#include <algorithm>
#include <system_error>

namespace vellumark {

PrefetchReader::PrefetchReader(SectorSource& source, std::int64_t begin, std::int64_t end, PrefetchOptions options)
    : source_(source), end_(end), options_(std::move(options)), nextOffset_(begin) {
  options_.depth = std::max<std::size_t>(options_.depth, 2);
  options_.chunkBytes = std::max<std::size_t>(options_.chunkBytes, 4096);
  // A range of a few chunks is over before a thread would pay for itself: it is read in
  // place, one chunk at a time, into one buffer no larger than the range.
  const std::int64_t rangeBytes = std::max<std::int64_t>(0, end - begin);
  if (rangeBytes <= static_cast<std::int64_t>(options_.chunkBytes * kSmallRangeChunks)) {
    ring_.resize(std::min(options_.chunkBytes, static_cast<std::size_t>(rangeBytes)));
    slots_.resize(1);
    slots_[0].buffer = std::span(ring_);
    return;
  }
  ring_.resize(options_.depth * options_.chunkBytes);
  slots_.resize(options_.depth);
  for (std::size_t i = 0; i < slots_.size(); ++i)
    slots_[i].buffer = std::span(ring_).subspan(i * options_.chunkBytes, options_.chunkBytes);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: next() reads each chunk itself, one after another.
  }
}

PrefetchReader::~PrefetchReader() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  freedOne_.notify_all();
  if (thread_.joinable()) thread_.join();
}

const PrefetchChunk* PrefetchReader::next() {
  std::unique_lock lock(mutex_);
  if (holding_) {
    holding_ = false;
    freedOne_.notify_one();
  }
  if (!thread_.joinable()) {
    // Without a reader thread: the slot just given back is read now.
    if (nextOffset_ >= end_) return nullptr;
    Slot& slot = slots_[head_];
    fill(slot, nextOffset_);
    nextOffset_ += static_cast<std::int64_t>(options_.chunkBytes);
    holding_ = true;
    return &slot.chunk;
  }
  filledOne_.wait(lock, [this] { return ready_ > 0 || producerDone_; });
  if (ready_ == 0) return nullptr;
  Slot& slot = slots_[head_];
  head_ = (head_ + 1) % slots_.size();
  --ready_;
  holding_ = true;
  return &slot.chunk;
}

void PrefetchReader::run() {
  const std::size_t depth = slots_.size();
  std::unique_lock lock(mutex_);
  for (;;) {
    freedOne_.wait(lock, [&] { return stopping_ || ready_ + (holding_ ? 1 : 0) < depth; });
    if (stopping_ || nextOffset_ >= end_) break;
    Slot& slot = slots_[(head_ + ready_) % depth];
    const std::int64_t offset = nextOffset_;
    nextOffset_ += static_cast<std::int64_t>(options_.chunkBytes);
    lock.unlock();
    fill(slot, offset);
    lock.lock();
    ++ready_;
    filledOne_.notify_one();
  }
  producerDone_ = true;
  filledOne_.notify_all();
}

void PrefetchReader::fill(Slot& slot, std::int64_t offset) {
  PrefetchChunk& c = slot.chunk;
  c.offset = offset;
  c.length = std::min<std::int64_t>(static_cast<std::int64_t>(options_.chunkBytes), end_ - offset);
  c.bytes = {};
  if (options_.wanted && !options_.wanted(c.offset, c.length)) {
    c.status = ChunkStatus::Skipped;
    return;
  }
  c.status = ChunkStatus::Failed;
  const auto length = static_cast<std::size_t>(c.length);
  std::size_t done = 0;
  while (done < length) {
    auto got = source_.readAt(static_cast<std::uint64_t>(offset) + done, std::span(slot.buffer.data() + done, length - done));
    if (!got || *got == 0) return;
    done += *got;
  }
  c.status = ChunkStatus::Read;
  c.bytes = std::span<const std::uint8_t>(slot.buffer.data(), length);
}

}  // namespace vellumark
