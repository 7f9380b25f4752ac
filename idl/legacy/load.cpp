#include "idl/legacy/load.hpp"

#include <utility>

#include "idl/legacy/convert.hpp"
#include "idl/legacy/readers.hpp"

namespace brisquel::idl::legacy {

Result<idl::Idl> load(const json::Value& document, std::optional<std::string_view> address) {
  auto legacy = read_idl(document);
  if (!legacy) return fail(std::move(legacy.error()));
  return try_from(std::move(*legacy), address);
}

}  // namespace brisquel::idl::legacy
