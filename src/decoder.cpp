#include "src/decoder.hpp"

#include <string>

#include "idl/loader.hpp"

namespace brisquel {

void raise_value_error(std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

Result<std::unique_ptr<const CompiledIdl>> compile_idl(std::string_view idl_json) {
  auto idl = idl::convert_idl(idl_json);
  if (!idl) return fail("failed to parse IDL: " + idl.error());
  return CompiledIdl::build(*idl);
}

std::optional<Decoder> load_decoder(std::string_view idl_json) {
  auto compiled = compile_idl(idl_json);
  if (!compiled) {
    raise_value_error(compiled.error());
    return std::nullopt;
  }
  std::optional<Decoder> decoder(std::in_place);
  decoder->idl = std::move(*compiled);
  if (!decoder->names.build(*decoder->idl)) return std::nullopt;
  return decoder;
}

}  // namespace brisquel
