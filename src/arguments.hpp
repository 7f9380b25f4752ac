// Binding of call arguments to required positional-or-keyword parameters,
// with the interpreter's usual messages.
#pragma once

#include "src/py_ref.hpp"

#include <span>
#include <vector>

namespace brisquel {

struct Signature {
  const char* full_name;                 // "EventDecoder.parse_logs()"
  std::span<const char* const> params;   // every one required
};

// Fill `out` (one slot per parameter) with borrowed references; false with a
// TypeError set on failure.
bool bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);
// Values taken from `kwargs` are also added to `held`, which the caller keeps
// for as long as it uses them.
bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                     std::vector<PyRef>& held);

// TypeError "argument '{param}': '{type}' object is not an instance of '{target}'"
// ("'None' is not an instance of ..." for None).
void raise_not_instance(const char* param, PyObject* given, const char* target);

// Re-raises the pending exception for parameter `param`: a TypeError gets the
// prefix "argument '{param}': "; any other exception passes unchanged.
void prefix_argument_error(const char* param);

}  // namespace brisquel
