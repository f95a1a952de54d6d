// JPEG validations per second on 12-megapixel photos (4000 x 3000, made by ImageMagick when
// the benchmark starts), decoded at full size and at one eighth: the cost the JPEG carver
// pays for every photo it traces. Photos come with full-resolution colour (ImageMagick's
// choice at quality 90) and with colour halved both ways, as camera and phone firmware
// writes them; the second has half the blocks to decode.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "carvers/jpeg_validation.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

// A 12-megapixel plasma photo at quality 90, baseline or progressive, with full or halved colour.
const std::vector<std::uint8_t>& photo(bool progressive, bool halvedColour = false) {
  static std::vector<std::uint8_t> photos[4];
  std::vector<std::uint8_t>& p = photos[(progressive ? 1 : 0) + (halvedColour ? 2 : 0)];
  if (!p.empty()) return p;
  char dirTemplate[] = "/tmp/vellumark-jpeg-bench-XXXXXX";
  if (::mkdtemp(dirTemplate) == nullptr) return p;
  const fs::path file = fs::path(dirTemplate) / "photo.jpg";
  const std::string command = std::string("convert -seed 3 -size 4000x3000 plasma:fractal -blur 0x1 -quality 90 ") +
                              (progressive ? "-interlace Plane " : "") +
                              (halvedColour ? "-sampling-factor 2x2,1x1,1x1 " : "") + "'" + file.string() + "'";
  if (std::system(command.c_str()) == 0) {
    std::ifstream in(file, std::ios::binary);
    p.assign(std::istreambuf_iterator<char>(in), {});
  }
  fs::remove_all(dirTemplate);
  return p;
}

void validate(benchmark::State& state, bool progressive, JpegDecodeScale scale, bool halvedColour = false) {
  const std::vector<std::uint8_t>& jpeg = photo(progressive, halvedColour);
  if (jpeg.empty()) {
    state.SkipWithError("could not make the photo (is ImageMagick installed?)");
    return;
  }
  if (!validateJpeg(jpeg, scale)) {
    state.SkipWithError("the photo does not validate");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(validateJpeg(jpeg, scale));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(jpeg.size()));
  state.counters["photo_MB"] = static_cast<double>(jpeg.size()) / 1e6;
}

void BM_ValidateBaselineFullSize(benchmark::State& s) { validate(s, false, JpegDecodeScale::Full); }
void BM_ValidateBaselineEighth(benchmark::State& s) { validate(s, false, JpegDecodeScale::Eighth); }
void BM_ValidateProgressiveFullSize(benchmark::State& s) { validate(s, true, JpegDecodeScale::Full); }
void BM_ValidateProgressiveEighth(benchmark::State& s) { validate(s, true, JpegDecodeScale::Eighth); }
void BM_ValidateCameraBaselineFullSize(benchmark::State& s) { validate(s, false, JpegDecodeScale::Full, true); }
void BM_ValidateCameraBaselineEighth(benchmark::State& s) { validate(s, false, JpegDecodeScale::Eighth, true); }
void BM_ValidateCameraProgressiveEighth(benchmark::State& s) { validate(s, true, JpegDecodeScale::Eighth, true); }

BENCHMARK(BM_ValidateBaselineFullSize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateBaselineEighth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateProgressiveFullSize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateProgressiveEighth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateCameraBaselineFullSize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateCameraBaselineEighth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateCameraProgressiveEighth)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vellumark
