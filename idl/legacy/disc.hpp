// Discriminators that legacy documents do not carry: derived from a namespace
// ("global", "account", "event") and a name.
#pragma once

#include <string_view>

#include "idl/model.hpp"

namespace brisquel::idl::legacy {

// The first 8 bytes of SHA-256("{ns}:{name}").
Bytes get_disc(std::string_view ns, std::string_view name);

}  // namespace brisquel::idl::legacy
