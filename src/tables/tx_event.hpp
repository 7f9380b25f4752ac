// TxEvent: one event of a transaction, a named tuple.
#pragma once

#include <array>
#include <cstddef>

#include "src/tables/state.hpp"

namespace brisquel::tables {

inline constexpr std::size_t kTxEventFields = 12;

// A new TxEvent of `values` (new references, taken over whatever happens);
// nullptr with an error set.
PyObject* new_tx_event(PyTypeObject* type, std::array<PyObject*, kTxEventFields>& values);

}  // namespace brisquel::tables
