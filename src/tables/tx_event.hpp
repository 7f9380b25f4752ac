// TxEvent and TxCall: one event, one instruction call of a transaction; named tuples.
#pragma once

#include <array>
#include <cstddef>

#include "src/tables/named_tuple.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

inline constexpr std::size_t kTxEventFields = 12;
inline constexpr std::size_t kTxCallFields = 16;
inline constexpr std::size_t kCallErrorFields = 4;


// Made as tuple.__new__(cls, values) makes them, which, unlike tp_alloc, marks
// the cached hash as not computed yet: hash() must then see the dict among
// the values and refuse, as for any tuple.
using TxEventMaker = NamedTupleMaker;
using TxCallMaker = NamedTupleMaker;

}  // namespace brisquel::tables
