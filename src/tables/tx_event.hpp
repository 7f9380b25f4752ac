// TxEvent: one event of a transaction, a named tuple.
#pragma once

#include <array>
#include <cstddef>

#include "src/tables/state.hpp"

namespace brisquel::tables {

inline constexpr std::size_t kTxEventFields = 12;

// Makes the TxEvents of one call the way tuple.__new__(TxEvent, values) does,
// which, unlike tp_alloc, marks the tuple's cached hash as not computed yet:
// hash() must then see the dict of fields and refuse, as for any tuple.
class TxEventMaker {
 public:
  explicit TxEventMaker(PyTypeObject* type) : type_(type) {}

  // A new TxEvent of `values` (new references, taken over whatever happens);
  // nullptr with an error set.
  PyObject* make(std::array<PyObject*, kTxEventFields>& values);

 private:
  PyTypeObject* type_;
  PyRef args_;  // tuple.__new__'s argument tuple, reused: no one else ever sees it
};

}  // namespace brisquel::tables
