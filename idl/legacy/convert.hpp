// Conversion of a legacy document into the current model.
#pragma once

#include <optional>
#include <string_view>

#include "idl/legacy/model.hpp"
#include "idl/model.hpp"
#include "codec/result.hpp"

namespace brisquel::idl::legacy {

// Takes the program address from `metadata.address`, derives discriminators,
// rewrites field, argument and account names in snake case and appends the
// legacy accounts and events to `types`. The only failure is a missing address.
Result<idl::Idl> try_from(Idl legacy, std::optional<std::string_view> address = std::nullopt);

// Record conversions, exposed for their own tests.
idl::IdlType convert_type(IdlType t);
// Fails with "Const seed conversion not supported" for a const seed that is not a string.
Result<idl::IdlSeed> convert_seed(IdlSeed seed);

}  // namespace brisquel::idl::legacy
