// Readable names of imported Arrow types, for messages about input refused.
#pragma once

#include <string>

#include "core/arrow/c_data.hpp"

namespace brisquel::arrow {

// "int64", "list<int32>", "struct<a: utf8, b: bool>", "dictionary<int8, utf8>",
// "timestamp[us, UTC]" ... from the schema's format strings. Bounded in depth
// and length whatever the schema holds; a malformed level reads as "?".
std::string format_name(const ArrowSchema& schema);

}  // namespace brisquel::arrow
