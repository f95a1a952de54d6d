#include "support/media_files.h"

#include <algorithm>

#include "scan/type_codes.h"
#include "support/image_builder.h"
#include "util/byte_reader.h"

namespace vellumark::test {

namespace {

struct Recipe {
  std::string name;
  std::uint8_t typeCode;
  std::string extension;
  std::string arguments;  // between the inputs and the output file
  std::string inputs;
};

const std::string kVideo = "-f lavfi -i testsrc=size=160x120:rate=25";
const std::string kSound = "-f lavfi -i sine=frequency=440:sample_rate=8000";
const std::string kBoth = kVideo + " " + kSound;

std::vector<Recipe> recipes() {
  return {
      {"mp4", kTypeIsoMp4, "mp4", "-t 2 -c:v mpeg4 -c:a aac -shortest -brand mp42", kBoth},
      {"3gp", kTypeIso3gp, "3gp", "-t 2 -s 176x144 -c:v h263 -c:a aac -ac 1 -shortest", kBoth},
      {"mov", kTypeIsoOther, "mov", "-t 2 -c:v mpeg4", kVideo},
      {"mp4-fragmented", kTypeIsoOther, "mp4", "-t 3 -c:v mpeg4 -g 25 -movflags frag_keyframe+empty_moov", kVideo},
      {"avi", kTypeAvi, "avi", "-t 2 -c:v mpeg4 -c:a pcm_s16le -shortest", kBoth},
      {"wav", kTypeWave, "wav", "-t 3", kSound},
      {"wav-odd", kTypeWave, "wav", "-t 1.000125 -c:a pcm_u8", kSound},
      {"mpeg1-ps", kTypeMpeg1PackZero, "mpg", "-t 2 -c:v mpeg1video -f mpeg", kVideo},
      {"m2ts", kTypeTs192Zero, "m2ts", "-t 2 -c:v mpeg2video -f mpegts -mpegts_m2ts_mode 1 -muxrate 600k -muxdelay 0", kVideo},
      {"wmv", kTypeAsfDeclared, "wmv", "-t 2 -c:v wmv2 -c:a wmav2 -shortest", kBoth},
      {"wma", kTypeAsfDeclared, "wma", "-t 3 -c:a wmav2", kSound},
  };
}

// ffmpeg writes the File Properties Object first in the header; moving it behind the next
// header object gives a file whose objects must be walked (readers accept any order).
std::vector<std::uint8_t> reorderAsfHeader(std::vector<std::uint8_t> b) {
  constexpr std::size_t kFirstChild = 30;
  const std::uint64_t fp = le64(b, kFirstChild + 16);
  const std::uint64_t next = le64(b, kFirstChild + fp + 16);
  if (fp == 0 || next == 0 || kFirstChild + fp + next > b.size()) return {};
  std::rotate(b.begin() + kFirstChild, b.begin() + static_cast<std::ptrdiff_t>(kFirstChild + fp),
              b.begin() + static_cast<std::ptrdiff_t>(kFirstChild + fp + next));
  return b;
}

std::vector<MediaFile> makeAll() {
  std::vector<MediaFile> files;
  if (!haveProgram("ffmpeg")) return files;
  static TempDir dir;
  for (const Recipe& r : recipes()) {
    const auto path = dir / (r.name + "." + r.extension);
    const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y " + r.inputs + " " + r.arguments +
                                " '" + path.string() + "'";
    if (runCommand(command) != 0) continue;
    MediaFile f{r.name, r.typeCode, readFileBytes(path)};
    // ffmpeg starts the arrival clock at the time of the first packet's 11th byte, never at
    // 0; a stream recorded from its start has 0 there.
    if (r.name == "m2ts" && f.bytes.size() > 4) std::fill_n(f.bytes.begin(), 4, 0);
    files.push_back(f);
    if (r.name == "wmv") {
      MediaFile walked{"wmv-objects", kTypeAsfObjects, reorderAsfHeader(f.bytes)};
      if (!walked.bytes.empty()) files.push_back(std::move(walked));
    }
  }
  return files;
}

}  // namespace

const std::vector<MediaFile>& ffmpegMediaFiles() {
  static const std::vector<MediaFile> files = makeAll();
  return files;
}

}  // namespace vellumark::test
