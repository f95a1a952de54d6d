#pragma once
// The program's version, as the build gives it.

#include <string_view>

namespace vellumark {

[[nodiscard]] std::string_view programVersion();

}  // namespace vellumark
