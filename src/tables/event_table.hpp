// EventTable: the rows of one event, handed to Arrow consumers without a copy.
#pragma once

#include <memory>

#include "core/arrow/array_data.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// A new EventTable named `name` over `table`; nullptr with an error set.
PyObject* new_event_table(State& state, PyObject* name, std::shared_ptr<const arrow::Table> table);

}  // namespace brisquel::tables
