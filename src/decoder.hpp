// Loading an IDL into what the Python-facing decoders keep.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "core/compiled_idl.hpp"
#include "src/python_names.hpp"

namespace brisquel {

// The compiled form of `idl_json` (UTF-8 JSON text), or why it cannot be
// used ("failed to parse IDL: ..." for a document the loader refuses).
Result<std::unique_ptr<const CompiledIdl>> compile_idl(std::string_view idl_json);

// The compiled IDL and the Python names its values are made with; immutable, so
// threads share it without a lock.
struct Decoder {
  std::unique_ptr<const CompiledIdl> idl;
  PyNames names;
};

// nullopt with the interpreter's error set (ValueError for the IDL's content).
std::optional<Decoder> load_decoder(std::string_view idl_json);

// ValueError(message), the message taken as UTF-8.
void raise_value_error(std::string_view message);

}  // namespace brisquel
