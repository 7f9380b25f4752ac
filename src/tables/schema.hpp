// Schema: an event table's Arrow schema, without data.
#pragma once

#include <vector>

#include "core/arrow/types.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// A new Schema over `fields`; nullptr with an error set.
PyObject* new_schema(State& state, std::vector<arrow::Field> fields);

// The names of `fields` as a new list of str; nullptr with an error set.
PyObject* field_names(const std::vector<arrow::Field>& fields);

}  // namespace brisquel::tables
