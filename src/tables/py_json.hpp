// Python objects as json.loads makes them, written back as JSON text, so that
// transactions given as objects are read by the one reader of RPC JSON and
// cannot be read differently from the same transactions given as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "src/py_ref.hpp"

namespace brisquel::tables {

// Appends the JSON text of `obj` (dict with str keys, list, tuple, str, int,
// float, bool, None) to `out`. Members that no transaction reading looks at
// (rewards, return data; balances unless `balances`) are left out, which only
// saves time. kFailed with TypeError or ValueError set for anything else or
// text that is not UTF-8; kTooDeep or kTooLarge, with no error set, for
// nesting deeper or text longer than the reader accepts (max_dump_depth(),
// max_dump_bytes()).
enum class DumpResult : std::uint8_t { kDone, kFailed, kTooDeep, kTooLarge };
DumpResult dump_json(PyObject* obj, std::string& out, bool balances = false);
int max_dump_depth();
std::size_t max_dump_bytes();

}  // namespace brisquel::tables
