// Readers of the legacy IDL model from the parsed JSON tree.
#pragma once

#include "idl/json.hpp"
#include "idl/legacy/model.hpp"
#include "codec/result.hpp"

namespace brisquel::idl::legacy {

// Reads a whole legacy document.
Result<Idl> read_idl(const json::Value& document);

// Reads one type expression, as an instruction argument's type is read.
Result<IdlType> read_type(const json::Value& value);

}  // namespace brisquel::idl::legacy
