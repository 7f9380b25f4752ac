// Readers of the current IDL model from the parsed JSON tree.
#pragma once

#include "idl/json.hpp"
#include "idl/model.hpp"
#include "codec/result.hpp"

namespace brisquel::idl {

// Reads a whole document of spec "0.1.0".
Result<Idl> read_idl(const json::Value& document);

// Reads one type expression, as an instruction argument's type is read.
Result<IdlType> read_type(const json::Value& value);

// Reads one type definition, as an entry of `types` is read.
Result<IdlTypeDef> read_type_def(const json::Value& value);

}  // namespace brisquel::idl
