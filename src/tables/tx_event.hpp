// TxEvent and TxCall: one event, one instruction call of a transaction; named tuples.
#pragma once

#include <array>
#include <cstddef>

#include "src/tables/state.hpp"

namespace brisquel::tables {

inline constexpr std::size_t kTxEventFields = 12;
inline constexpr std::size_t kTxCallFields = 15;
inline constexpr std::size_t kCallErrorFields = 4;

// A named tuple class of `fields` (space-separated), in module "brisquel";
// a new reference or nullptr.
PyTypeObject* named_tuple_type(const char* name, const char* fields, const char* doc);

// Makes the items of one call the way tuple.__new__(type, values) does,
// which, unlike tp_alloc, marks the tuple's cached hash as not computed yet:
// hash() must then see a dict among the values and refuse, as for any tuple.
template <std::size_t N>
class TupleMaker {
 public:
  explicit TupleMaker(PyTypeObject* type) : type_(type) {}

  // A new item of `values` (new references, taken over whatever happens);
  // nullptr with an error set.
  PyObject* make(std::array<PyObject*, N>& values) {
    PyRef items(PyTuple_New(N));
    if (!items) {
      for (PyObject* v : values) Py_XDECREF(v);
      return nullptr;
    }
    for (std::size_t k = 0; k < N; ++k) PyTuple_SET_ITEM(items.get(), k, values[k]);
    if (!args_) {
      args_ = PyRef(PyTuple_New(1));
      if (!args_) return nullptr;
    }
    PyTuple_SET_ITEM(args_.get(), 0, items.release());
    PyObject* item = PyTuple_Type.tp_new(type_, args_.get(), nullptr);
    PyObject* used = PyTuple_GET_ITEM(args_.get(), 0);
    PyTuple_SET_ITEM(args_.get(), 0, nullptr);
    Py_DECREF(used);
    return item;
  }

 private:
  PyTypeObject* type_;
  PyRef args_;  // tuple.__new__'s argument tuple, reused: no one else ever sees it
};

using TxEventMaker = TupleMaker<kTxEventFields>;
using TxCallMaker = TupleMaker<kTxCallFields>;

}  // namespace brisquel::tables
