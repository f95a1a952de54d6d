#pragma once
// Naming recovered documents.

#include <cstdint>
#include <string>
#include <string_view>


namespace vellumark {

// `count` capital letters writing value in base 26, most significant first, "A" for 0,
// padded with "A"; only the lowest `count` digits are kept. A negative value counts as 0.
[[nodiscard]] std::string sectorLetters(int count, std::int64_t value);

// The file name of a recovered document: outputFolder + "TEST_" + eight letters for the
// start offset in 512-byte units (whatever the sector size) + extension (e.g. ".DOC").
[[nodiscard]] std::string recoveredFileName(const std::string& outputFolder, std::int64_t startOffset,
                                            std::string_view extension);

}  // namespace vellumark
