// TxEvent: one event of a transaction, a named tuple.
#pragma once

#include <array>
#include <cstddef>

#include "src/tables/named_tuple.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

inline constexpr std::size_t kTxEventFields = 12;

// TxEvents are made as tuple.__new__(TxEvent, values) makes them, which, unlike
// tp_alloc, marks the tuple's cached hash as not computed yet: hash() must then
// see the dict of fields and refuse, as for any tuple.
using TxEventMaker = NamedTupleMaker;

}  // namespace brisquel::tables
