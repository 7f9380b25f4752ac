#include "src/arguments.hpp"

#include <string>
#include <utility>
#include <vector>

namespace brisquel {
namespace {

// Matches one keyword against the parameters; false with a TypeError set.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, Py_ssize_t nargs, PyObject** out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, sig.params[i])) {
      if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, sig.params[i]);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
  return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.full_name, n, nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::string names;
  std::size_t missing = 0;
  std::size_t total = 0;
  for (std::size_t i = 0; i < sig.params.size(); ++i) total += out[i] == nullptr;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (out[i] != nullptr) continue;
    ++missing;
    if (missing > 1) names += total == 2 ? " and " : (missing == total ? ", and " : ", ");
    names += '\'';
    names += sig.params[i];
    names += '\'';
  }
  if (missing == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.full_name, missing,
               missing == 1 ? "" : "s", names.c_str());
  return false;
}

}  // namespace

bool bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
  if (!bind_positional(sig, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                     std::vector<PyRef>& held) {
  PyObject* const* items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
  if (!bind_positional(sig, items, PyTuple_GET_SIZE(args), out)) return false;
  if (kwargs != nullptr) {
    // The interpreter gives each call its own keyword dict, but a C caller may
    // share one between threads: walk it under its lock, and match (which may
    // format an error) only afterwards. The values are held for the caller,
    // so another thread's change to the dict cannot free them mid-call.
    std::vector<std::pair<PyRef, PyRef>> pairs;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) pairs.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    Py_END_CRITICAL_SECTION();
    for (auto& [key, value] : pairs) {
      if (!bind_keyword(sig, key.get(), value.get(), PyTuple_GET_SIZE(args), out)) return false;
      held.push_back(std::move(value));
    }
  }
  return check_missing(sig, out);
}

void raise_not_instance(const char* param, PyObject* given, const char* target) {
  if (given == Py_None) {
    PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", param, target);
    return;
  }
  PyRef qualname(PyType_GetQualName(Py_TYPE(given)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", param, qualname.get(),
               target);
}

void prefix_argument_error(const char* param) {
  PyRef exc(PyErr_GetRaisedException());
  if (!exc) return;
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %S", param, exc.get()));
  if (!message) return;
  PyRef prefixed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!prefixed) return;
  if (PyObject* cause = PyException_GetCause(exc.get())) PyException_SetCause(prefixed.get(), cause);
  PyErr_SetRaisedException(prefixed.release());
}

}  // namespace brisquel
