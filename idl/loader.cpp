#include "idl/loader.hpp"

#include "idl/json.hpp"
#include "idl/legacy/load.hpp"
#include "idl/readers.hpp"

namespace brisquel::idl {

Result<Idl> convert_idl(std::string_view text, std::optional<std::string_view> address) {
  auto document = json::parse(text);
  if (!document) return fail(std::move(document.error()));
  return convert_idl(*document, address);
}

Result<Idl> convert_idl(const json::Value& document, std::optional<std::string_view> address) {
  // A string `metadata.spec` marks a current document; anything else is legacy.
  const json::Value* metadata = document.find("metadata");
  const json::Value* spec = metadata ? metadata->find("spec") : nullptr;
  if (!spec || !spec->is_string()) return legacy::load(document, address);
  if (spec->as_string() != kSpecVersion) return fail("IDL spec not supported: `" + spec->as_string() + "`");
  auto idl = read_idl(document);
  if (idl && address) idl->address = *address;
  return idl;
}

std::optional<std::string> program_name(std::string_view text) {
  auto document = json::parse(text);
  if (!document) return std::nullopt;
  return program_name(*document);
}

std::optional<std::string> program_name(const json::Value& document) {
  const json::Value* metadata = document.find("metadata");
  const json::Value* name = metadata != nullptr ? metadata->find("name") : nullptr;
  if (name == nullptr || !name->is_string()) name = document.find("name");
  if (name == nullptr || !name->is_string()) return std::nullopt;
  return name->as_string();
}

}  // namespace brisquel::idl
