#include "src/decoder.hpp"

#include <string>

#include "idl/loader.hpp"

namespace brisquel {

void raise_value_error(std::string_view message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

std::unique_ptr<const CompiledIdl> compile_idl(std::string_view idl_json) {
  auto idl = idl::convert_idl(idl_json);
  if (!idl) {
    raise_value_error("failed to parse IDL: " + idl.error());
    return nullptr;
  }
  auto tables = CompiledIdl::build(*idl);
  if (!tables) {
    raise_value_error(tables.error());
    return nullptr;
  }
  return std::move(*tables);
}

std::unique_ptr<Decoder> load_decoder(std::string_view idl_json) {
  auto decoder = std::make_unique<Decoder>();
  decoder->idl = compile_idl(idl_json);
  if (!decoder->idl || !decoder->names.build(*decoder->idl)) return nullptr;
  return decoder;
}

}  // namespace brisquel
