// The reader of Codama documents: a parsed `rootNode` in, its programs out,
// or one error that names what is wrong and the path to it
// ("unknown node kind `fooTypeNode` at program.instructions[3].arguments[1].type").
#pragma once

#include "codec/result.hpp"
#include "idl/codama/model.hpp"
#include "idl/json.hpp"

namespace brisquel::idl::codama {

// Whether a parsed document is a Codama one: an object whose `kind` is "rootNode".
bool is_codama(const json::Value& document);

// Reads a whole document. Its `standard` must be "codama" and its `version` 1.x.
Result<Document> read_document(const json::Value& document);

}  // namespace brisquel::idl::codama
