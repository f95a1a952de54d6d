#include "support/fragment_layouts.h"

#include <algorithm>
#include <ostream>

namespace vellumark::test {

std::uint64_t clustersOf(const std::vector<std::uint8_t>& bytes) {
  return std::max<std::uint64_t>(1, (bytes.size() + kLayoutClusterBytes - 1) / kLayoutClusterBytes);
}

std::vector<std::uint64_t> PlacedFile::sectors(std::uint32_t sectorBytes) const {
  const std::uint64_t per = kLayoutClusterBytes / sectorBytes;
  std::vector<std::uint64_t> out;
  for (std::uint64_t c : clusters)
    for (std::uint64_t i = 0; i < per; ++i) out.push_back(c * per + i);
  return out;
}

void FragmentedImage::junk(std::uint64_t clusters) {
  for (std::uint64_t i = 0; i < clusters * kLayoutClusterBytes / 4; ++i) {
    const std::uint32_t v = random_();
    for (int b = 0; b < 4; ++b) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
  }
}

PlacedFile& FragmentedImage::place(const LayoutFile& file) {
  files_.push_back(PlacedFile{file.label, file.bytes, file.document, {}});
  return files_.back();
}

void FragmentedImage::putCluster(PlacedFile& file, std::uint64_t index) {
  file.clusters.push_back(clusterCount());
  const std::uint64_t from = index * kLayoutClusterBytes;
  const std::uint64_t to = std::min<std::uint64_t>(file.bytes.size(), from + kLayoutClusterBytes);
  bytes_.insert(bytes_.end(), file.bytes.begin() + static_cast<std::ptrdiff_t>(from), file.bytes.begin() + static_cast<std::ptrdiff_t>(to));
  // Slack: the rest of the last cluster holds whatever was there before.
  while (bytes_.size() % kLayoutClusterBytes != 0) bytes_.push_back(static_cast<std::uint8_t>(random_()));
}

void FragmentedImage::contiguous(const LayoutFile& file) {
  PlacedFile& p = place(file);
  for (std::uint64_t i = 0; i < clustersOf(file.bytes); ++i) putCluster(p, i);
}

void FragmentedImage::cutByJunk(const LayoutFile& file, std::uint64_t junkClusters) {
  const std::uint64_t n = clustersOf(file.bytes);
  const std::uint64_t cut = n < 2 ? n : 1 + random_() % (n - 1);
  PlacedFile& p = place(file);
  for (std::uint64_t i = 0; i < cut; ++i) putCluster(p, i);
  junk(junkClusters);
  for (std::uint64_t i = cut; i < n; ++i) putCluster(files_.back(), i);
}

void FragmentedImage::roundRobin(const std::vector<LayoutFile>& files) {
  const std::size_t first = files_.size();
  std::uint64_t longest = 0;
  for (const LayoutFile& f : files) {
    place(f);
    longest = std::max(longest, clustersOf(f.bytes));
  }
  for (std::uint64_t i = 0; i < longest; ++i)
    for (std::size_t k = 0; k < files.size(); ++k)
      if (i < clustersOf(files[k].bytes)) putCluster(files_[first + k], i);
}

void FragmentedImage::outOfOrder(const LayoutFile& file, std::size_t pieces) {
  const std::uint64_t n = clustersOf(file.bytes);
  pieces = static_cast<std::size_t>(std::min<std::uint64_t>(pieces, n));
  std::vector<std::uint64_t> starts;
  for (std::size_t k = 0; k <= pieces; ++k) starts.push_back(n * k / pieces);
  std::vector<std::size_t> order;
  for (std::size_t k = 1; k < pieces; ++k) order.push_back(k);
  // Any order but the right one: the later pieces backwards.
  std::reverse(order.begin(), order.end());
  order.insert(order.begin(), 0);
  PlacedFile& p = place(file);
  std::vector<std::uint64_t> clusterOf(n);
  for (std::size_t piece : order) {
    for (std::uint64_t i = starts[piece]; i < starts[piece + 1]; ++i) {
      putCluster(p, i);
      clusterOf[i] = p.clusters.back();
    }
    junk(1);
  }
  p.clusters = clusterOf;  // in file order
}

void FragmentedImage::flushTo(std::ostream& out) {
  out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
  flushed_ += bytes_.size() / kLayoutClusterBytes;
  bytes_.clear();
  for (PlacedFile& f : files_) {
    f.bytes.clear();
    f.bytes.shrink_to_fit();
  }
}

}  // namespace vellumark::test
