// How the second module's types are bound: as every type of the extension
// (src/native_type.hpp), with one more step at the boundary, so that each
// entry point fails with the module's family of exceptions.
#pragma once

#include <utility>

#include "src/native_type.hpp"
#include "src/tables/errors.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

template <class T>
class TablesType : public NativeType<T> {
 public:
  template <class F>
  static PyObject* call(PyObject* self, F&& body) {
    PyObject* result = NativeType<T>::call(self, std::forward<F>(body));
    if (result == nullptr) [[unlikely]] return in_family(state_of(Py_TYPE(self)), nullptr);
    return result;
  }
};

// guard() for a type's __new__.
template <class F>
PyObject* tables_guard(PyTypeObject* type, F&& body) {
  PyObject* result = guard(std::forward<F>(body));
  if (result == nullptr) [[unlikely]] return in_family(state_of(type), nullptr);
  return result;
}

}  // namespace brisquel::tables
