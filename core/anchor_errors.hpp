// The error codes the Anchor framework itself returns (below 6000, where a
// program's own codes start), with their names and messages: what a failed
// call says when its program's IDL does not name the code.
#pragma once

#include <cstdint>
#include <string_view>

namespace brisquel {

struct FrameworkError {
  std::uint32_t code;
  std::string_view name;
  std::string_view message;
};

// Where a program's own error codes start.
inline constexpr std::uint32_t kFirstProgramErrorCode = 6000;

// The framework's error of `code`, or nullptr.
const FrameworkError* anchor_framework_error(std::uint32_t code);

}  // namespace brisquel
