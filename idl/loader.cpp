#include "idl/loader.hpp"

#include "idl/json.hpp"
#include "idl/legacy/load.hpp"
#include "idl/readers.hpp"

namespace brisquel::idl {

Result<Idl> convert_idl(std::string_view text) {
  auto document = json::parse(text);
  if (!document) return fail(std::move(document.error()));

  // A string `metadata.spec` marks a current document; anything else is legacy.
  const json::Value* metadata = document->find("metadata");
  const json::Value* spec = metadata ? metadata->find("spec") : nullptr;
  if (!spec || !spec->is_string()) return legacy::load(*document);
  if (spec->as_string() != kSpecVersion) return fail("IDL spec not supported: `" + spec->as_string() + "`");
  return read_idl(*document);
}

}  // namespace brisquel::idl
