// The loader's path for documents that declare no `metadata.spec` (pre-0.30 IDLs).
#pragma once

#include "idl/json.hpp"
#include "idl/model.hpp"
#include "codec/result.hpp"

namespace brisquel::idl::legacy {

// Reads `document` as a legacy IDL and converts it into the current model.
Result<idl::Idl> load(const json::Value& document);

}  // namespace brisquel::idl::legacy
