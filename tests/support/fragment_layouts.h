#pragma once
// Disk images where files were written at the same time as other files, or cut by data no
// carver knows: a file cut in two by clusters of random junk, two to four files written
// round robin cluster by cluster, a file split in three or more pieces out of order. Every
// file starts at a cluster boundary and the rest of its last cluster is junk. The image
// remembers where each file's clusters went, so that tests can check which sectors each
// output took, not only what it holds.

#include <cstdint>
#include <iosfwd>
#include <random>
#include <string>
#include <vector>

namespace vellumark::test {

inline constexpr std::uint64_t kLayoutClusterBytes = 4096;

struct PlacedFile {
  std::string label;
  std::vector<std::uint8_t> bytes;
  bool document = false;
  std::vector<std::uint64_t> clusters;  // in file order, counted from the image's start
  // Every sector of its clusters, for sectors of this size.
  [[nodiscard]] std::vector<std::uint64_t> sectors(std::uint32_t sectorBytes) const;
};

struct LayoutFile {
  std::string label;
  std::vector<std::uint8_t> bytes;
  bool document = false;
};

class FragmentedImage {
 public:
  explicit FragmentedImage(std::uint32_t seed) : random_(seed) {}

  void junk(std::uint64_t clusters);
  void contiguous(const LayoutFile& file);
  // The file in two, `junkClusters` of junk between the parts, cut at a random cluster.
  void cutByJunk(const LayoutFile& file, std::uint64_t junkClusters);
  // Cluster by cluster, each file in turn, until every one is written.
  void roundRobin(const std::vector<LayoutFile>& files);
  // Split into `pieces` runs of clusters: the first stays first, the others come in another
  // order, a cluster of junk between each.
  void outOfOrder(const LayoutFile& file, std::size_t pieces);

  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  [[nodiscard]] const std::vector<PlacedFile>& files() const { return files_; }
  // Writes the bytes out and forgets them (not the files' places), for images too large
  // to hold: later clusters keep counting from where the written ones ended.
  void flushTo(std::ostream& out);

 private:
  std::uint64_t clusterCount() const { return flushed_ + bytes_.size() / kLayoutClusterBytes; }
  PlacedFile& place(const LayoutFile& file);
  // Writes cluster `index` of the file as the next cluster of the image.
  void putCluster(PlacedFile& file, std::uint64_t index);

  std::mt19937 random_;
  std::vector<std::uint8_t> bytes_;
  std::uint64_t flushed_ = 0;
  std::vector<PlacedFile> files_;
};

[[nodiscard]] std::uint64_t clustersOf(const std::vector<std::uint8_t>& bytes);

}  // namespace vellumark::test
