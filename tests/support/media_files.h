#pragma once
// Real video and sound files made by ffmpeg from its built-in test sources, one per media
// format the tracing carvers know, for tests that need what muxers really write.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumark::test {

struct MediaFile {
  std::string name;                // e.g. "mp4", "wav-odd"
  std::uint8_t typeCode = 0;       // what the classifier must say of its first sector
  std::vector<std::uint8_t> bytes;
};

// Every kind the carvers trace: MP4, 3GP, MOV, fragmented MP4, AVI, WAV (even and odd data
// sizes), MPEG-1 program stream, 192-byte-unit transport stream, WMV, WMA, and a WMV whose
// header objects are reordered so that the File Properties Object is not first. Made once
// per process in a temporary folder. Empty when ffmpeg is not installed.
const std::vector<MediaFile>& ffmpegMediaFiles();

}  // namespace vellumark::test
