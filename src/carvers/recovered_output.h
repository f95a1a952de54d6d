#pragma once
// Naming and saving recovered documents.

#include <cstdint>
#include <string>
#include <string_view>

#include "carvers/carve_context.h"
#include "util/byte_reader.h"

namespace vellumark {

// `count` capital letters writing value in base 26, most significant first, "A" for 0,
// padded with "A"; only the lowest `count` digits are kept. A negative value counts as 0.
[[nodiscard]] std::string sectorLetters(int count, std::int64_t value);

// The file name of a recovered document: outputFolder + "TEST_" + eight letters for the
// start offset in 512-byte units (whatever the sector size) + extension (e.g. ".DOC").
[[nodiscard]] std::string recoveredFileName(const std::string& outputFolder, std::int64_t startOffset,
                                            std::string_view extension);

// Writes data as the file `path`: completely, or not at all under that name (an existing
// file of that name is replaced). On failure the front end is asked what to do: Retry
// writes again, Abort gives up and requests the stop of the recovery, Ignore gives up.
// Returns whether the file was written.
[[nodiscard]] bool saveRecovered(CarveContext& ctx, const std::string& path, Bytes data);

// Waits about `milliseconds` while letting the front end handle its events.
void pumpDelay(FrontEnd& frontEnd, int milliseconds);

}  // namespace vellumark
