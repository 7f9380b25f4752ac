// The Python objects that a decoder's values are made with: a key per named
// field, a name per variant and per event, made once with the decoder.
//
// With the interpreter lock they are interned, so keys are shared with the
// rest of the program and dicts compare them by identity. Without it,
// interned strings are immortal: every name of every IDL ever loaded would
// stay for the life of the process, and a service that builds decoders from
// user-supplied IDLs would grow without bound. There the decoder owns them.
#pragma once

#include <cstdint>
#include <vector>

#include "core/compiled_idl.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

class PyNames {
 public:
  // What a field list's values need.
  struct Fields {
    const PyRef* keys = nullptr;  // named: one per field
    // Named, with more keys than a new dict holds before it first grows: a
    // dict of every key to None, in first-declared order, whose copy takes
    // the values without growing step by step (lock builds only).
    PyRef blank;
    // Tuple fields that are all scalars made without running Python code:
    // their list may be filled in place, as no Python code can see it half-made.
    bool in_place = false;
  };

  // False with the interpreter's error set.
  bool build(const CompiledIdl& tables);

  const Fields& fields(const FieldList& f) const { return fields_[f.id]; }
  PyObject* variant(const Variant& v) const { return variants_[v.id].get(); }
  PyObject* event(std::size_t index) const { return events_[index].get(); }

 private:
  std::vector<PyRef> keys_;
  std::vector<Fields> fields_;
  std::vector<PyRef> variants_;
  std::vector<PyRef> events_;
};

}  // namespace brisquel
