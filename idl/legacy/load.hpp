// The loader's path for documents that declare no `metadata.spec` (pre-0.30 IDLs).
#pragma once

#include <optional>
#include <string_view>

#include "idl/json.hpp"
#include "idl/model.hpp"
#include "codec/result.hpp"

namespace brisquel::idl::legacy {

// Reads `document` as a legacy IDL and converts it into the current model;
// `address`, when given, stands for `metadata.address`.
Result<idl::Idl> load(const json::Value& document, std::optional<std::string_view> address = std::nullopt);

}  // namespace brisquel::idl::legacy
