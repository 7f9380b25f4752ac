// Scanning a converted batch of log lines for events.
#pragma once

#include "src/decoder.hpp"
#include "src/log_batch.hpp"

namespace brisquel {

// The list of (name, fields) pairs for every line that decodes as an event of
// `decoder`, in line order. Failures of a line skip that line silently;
// nullptr with an exception set only if the result list cannot grow or an
// exception that must not be swallowed (KeyboardInterrupt, SystemExit) was
// raised while decoding.
PyObject* parse_lines(const Decoder& decoder, const LogBatch& lines);

}  // namespace brisquel
