#pragma once
// RIFF files (AVI, WAVE, animated cursors, CD-XA tracks, CorelDRAW drawings): the outer
// header the classifier recognises and the top-level chunks the RIFF carver walks over.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumark::riff {

// "RIFF", a 32-bit little-endian size, then the form type: 12 bytes.
inline constexpr std::string_view kRiffId = "RIFF";
inline constexpr std::size_t kFormTypeOffset = 8;
inline constexpr std::size_t kRiffHeaderBytes = 12;

inline constexpr std::string_view kFormAvi = "AVI ";
inline constexpr std::string_view kFormWave = "WAVE";
inline constexpr std::string_view kFormAcon = "ACON";
inline constexpr std::string_view kFormCdxa = "CDXA";
inline constexpr std::string_view kFormCdr = "CDR";  // followed by a version letter; any case

// Chunk header: four-character identifier and a 32-bit little-endian size of the body. The
// walk reads 12 bytes at every chunk so that a "RIFF" or "LIST" header is whole.
inline constexpr std::size_t kChunkSizeOffset = 4;
inline constexpr std::size_t kChunkHeaderBytes = 8;
inline constexpr std::size_t kWalkHeaderBytes = 12;

inline constexpr std::array<std::string_view, 6> kTopLevelChunks{"LIST", "JUNK", "idx1", "fmt ", "data", "anih"};

}  // namespace vellumark::riff
