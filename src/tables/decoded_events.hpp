// DecodedEvents: one call's tables, a read-only mapping from key to EventTable.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/arrow/array_data.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// A new DecodedEvents: keys[i] -> EventTable over tables[i], in order, the
// errors table, and how many inputs (transactions, rows or lines) were read;
// of `type` (DecodedCalls), else a DecodedEvents.
PyObject* new_decoded_events(State& state, std::span<PyObject* const> keys,
                             std::vector<std::shared_ptr<const arrow::Table>>&& tables,
                             std::shared_ptr<const arrow::Table> errors, std::int64_t inputs,
                             PyTypeObject* type = nullptr);

// A new DecodedAccounts: the same, with `counts` (a dict of str -> int) and
// `other_owners` (a dict of owner -> int).
PyObject* new_decoded_accounts(State& state, std::span<PyObject* const> keys,
                               std::vector<std::shared_ptr<const arrow::Table>>&& tables,
                               std::shared_ptr<const arrow::Table> errors, std::int64_t inputs, PyRef counts,
                               PyRef other_owners);

}  // namespace brisquel::tables
