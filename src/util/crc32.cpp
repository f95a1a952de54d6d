#include "util/crc32.h"

#include <libdeflate.h>

namespace vellumark {

std::uint32_t crc32Update(std::uint32_t crc, Bytes bytes) {
  if (bytes.empty()) return crc;
  return libdeflate_crc32(crc, bytes.data(), bytes.size());
}

}  // namespace vellumark
