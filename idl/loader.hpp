// The IDL loader: JSON text in, the current model out (legacy documents are
// converted on the way), or one error message.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model.hpp"
#include "codec/result.hpp"
#include "idl/json.hpp"

namespace brisquel::idl {

// The version string that current documents declare in `metadata.spec`.
inline constexpr std::string_view kSpecVersion = "0.1.0";

// `address`, when given, is the program's address whatever the document
// says (a legacy document without `metadata.address` then loads).
Result<Idl> convert_idl(std::string_view text, std::optional<std::string_view> address = std::nullopt);

// The program name a document declares (`metadata.name`, or a legacy
// document's `name`), or nullopt when it is not there or the text is not JSON.
std::optional<std::string> program_name(std::string_view text);

// The same two on a document parsed once (json::parse), for callers that
// need both or that also read other formats (idl/codama).
Result<Idl> convert_idl(const json::Value& document, std::optional<std::string_view> address = std::nullopt);
std::optional<std::string> program_name(const json::Value& document);

}  // namespace brisquel::idl
