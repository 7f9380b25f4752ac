// Named tuple classes made from C++: the class is collections.namedtuple's, so
// it unpacks, compares and prints as one; instances are made the way
// tuple.__new__(cls, values) makes them, without running its Python __new__.
#pragma once

#include <cstddef>
#include <span>

#include "src/py_ref.hpp"

namespace brisquel::tables {

// A new named tuple class `name` in module brisquel with space-separated
// `fields` and `doc`, the last `none_defaults` fields None when not given;
// nullptr with the error set.
PyTypeObject* create_named_tuple_type(const char* name, const char* fields, const char* doc,
                                      Py_ssize_t none_defaults = 0);

class NamedTupleMaker {
 public:
  explicit NamedTupleMaker(PyTypeObject* type) : type_(type) {}

  // A new instance of `values` (new references, taken over whatever happens);
  // nullptr with an error set.
  PyObject* make(std::span<PyObject*> values);

 private:
  PyTypeObject* type_;
  PyRef args_;  // tuple.__new__'s argument tuple, reused: no one else ever sees it
};

}  // namespace brisquel::tables
