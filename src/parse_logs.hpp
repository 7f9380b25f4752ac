// Scanning a converted batch of log lines for events.
#pragma once

#include <string_view>
#include <vector>

#include "src/decoder_tables.hpp"
#include "src/log_batch.hpp"

namespace brisquel {

// The list of (name, fields) pairs for every line that decodes as an event of
// `tables`, in line order; nullptr with an exception set only if the result
// list cannot grow. Failures of a line skip that line silently.
PyObject* parse_lines(const DecoderTables& tables, const LogBatch& lines);

// The Borsh body after the 8-byte discriminator, decoded by `layout`: the
// fields value or the decoder's error text.
Result<PyRef> decode_event_body(const EventLayout& layout, std::span<const std::uint8_t> body);

}  // namespace brisquel
