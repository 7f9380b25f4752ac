// The IDL loader: JSON text in, the current model out (legacy documents are
// converted on the way), or one error message.
#pragma once

#include <string_view>

#include "model.hpp"
#include "codec/result.hpp"

namespace brisquel::idl {

// The version string that current documents declare in `metadata.spec`.
inline constexpr std::string_view kSpecVersion = "0.1.0";

Result<Idl> convert_idl(std::string_view text);

}  // namespace brisquel::idl
