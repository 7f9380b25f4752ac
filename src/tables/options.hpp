// Keyword options shared by the table and transaction decoders.
#pragma once

#include <optional>
#include <string_view>

#include "core/table_schema.hpp"
#include "src/py_ref.hpp"

namespace brisquel::tables {

// pubkeys="base58"|"binary", wide_ints="decimal"|"string", short_events="skip"|"null"
// into `out`, which holds the defaults (nullptr: not given); false with
// TypeError or ValueError set.
bool parse_options(PyObject* pubkeys, PyObject* wide_ints, PyObject* short_events, TableOptions& out);

// The UTF-8 text of an IDL argument (a str); nullopt with the error set, as
// EventDecoder reports it.
std::optional<std::string_view> idl_text(PyObject* idl_json, const char* param = "idl_json");

}  // namespace brisquel::tables
