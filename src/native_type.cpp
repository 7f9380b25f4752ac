#include "src/native_type.hpp"

namespace brisquel {

void raise_not_constructed(PyObject* self) {
  PyErr_Format(PyExc_RuntimeError, "%T object was not constructed", self);
}

}  // namespace brisquel
