#pragma once
// The document families a user can choose to recover.

#include <cstdint>

namespace vellumark {

inline constexpr std::uint32_t kFamilyDoc = 0x10000;
inline constexpr std::uint32_t kFamilyXls = 0x20000;
inline constexpr std::uint32_t kFamilyPpt = 0x40000;
inline constexpr std::uint32_t kAllFamilies = kFamilyDoc | kFamilyXls | kFamilyPpt;

}  // namespace vellumark
