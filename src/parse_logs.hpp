// Scanning a converted batch of log lines for events.
#pragma once

#include "src/decoder.hpp"
#include "src/log_batch.hpp"

namespace brisquel {

// The list of (name, fields) pairs for every line that decodes as an event of
// `idl` (its values made with `names`), in line order; `lines` converted with
// LogBatch::Gather::EventPayloads. Failures of a line skip
// that line silently; nullptr with an exception set only if the result list
// cannot grow or an exception that must not be swallowed (KeyboardInterrupt,
// SystemExit) was raised while decoding. With `short_as_null`, a body that
// ends where a top-level field begins decodes, the missing fields None.
PyObject* parse_lines(const CompiledIdl& idl, const PyNames& names, const LogBatch& lines, bool short_as_null);

// As parse_lines, the fields as JSON text from the JSON sink (as the command
// line writes them) instead of Python values.
PyObject* parse_lines_json(const CompiledIdl& idl, const PyNames& names, const LogBatch& lines, bool short_as_null);

inline PyObject* parse_lines(const Decoder& decoder, const LogBatch& lines) {
  return parse_lines(*decoder.idl, decoder.names, lines, false);
}

}  // namespace brisquel
