#include "src/arguments.hpp"

#include <string>
#include <utility>
#include <vector>

namespace brisquel {
namespace {

using Kind = Parameter::Kind;

struct Counts {
  std::size_t positional = 0;           // parameters that take a positional argument
  std::size_t required_positional = 0;  // ... of which required, counted from the first
};

Counts counts_of(const Signature& sig) {
  Counts c;
  for (const Parameter& p : sig.params) {
    if (p.kind == Kind::KeywordOnly) break;
    ++c.positional;
    if (p.required) c.required_positional = c.positional;
  }
  return c;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, std::span<PyRef> out) {
  const Counts c = counts_of(sig);
  if (static_cast<std::size_t>(nargs) > c.positional) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (c.required_positional == c.positional) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.full_name,
                   c.positional, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", sig.full_name,
                   c.required_positional, c.positional, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyRef(Py_NewRef(args[i]));
  return true;
}

// Matches one keyword against the parameters; false with a TypeError set.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, std::span<PyRef> out) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    const Parameter& p = sig.params[i];
    if (!PyUnicode_Check(name) || !PyUnicode_EqualToUTF8(name, p.name)) continue;
    if (p.kind == Kind::PositionalOnly) break;  // as an unknown keyword, which it is
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, p.name);
      return false;
    }
    out[i] = PyRef(Py_NewRef(value));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string listed(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool check_missing(const Signature& sig, std::span<PyRef> out) {
  std::vector<const char*> positional, keyword;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    const Parameter& p = sig.params[i];
    if (!p.required || out[i]) continue;
    (p.kind == Kind::KeywordOnly ? keyword : positional).push_back(p.name);
  }
  const auto& missing = positional.empty() ? keyword : positional;
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required %s argument%s: %s", sig.full_name, missing.size(),
               positional.empty() ? "keyword" : "positional", missing.size() == 1 ? "" : "s",
               listed(missing).c_str());
  return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyRef> out) {
  // The usual call, every parameter given by position: nothing to match or miss.
  const auto n = static_cast<std::size_t>(nargs);
  if (kwnames == nullptr && n == sig.params.size() && (n == 0 || sig.params[n - 1].kind != Kind::KeywordOnly)) {
    for (std::size_t i = 0; i < n; ++i) out[i] = PyRef(Py_NewRef(args[i]));
    return true;
  }
  if (!bind_positional(sig, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyRef> out) {
  if (!bind_positional(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), out)) return false;
  if (kwargs != nullptr) {
    // The interpreter gives each call its own keyword dict, but a C caller may
    // share one between threads: walk it under its lock, taking a reference
    // to every key and value, and match (which may format an error) only
    // afterwards.
    std::vector<std::pair<PyRef, PyRef>> pairs;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) pairs.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    Py_END_CRITICAL_SECTION();
    for (auto& [key, value] : pairs) {
      if (!bind_keyword(sig, key.get(), value.get(), out)) return false;
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

std::optional<bool> flag_argument(PyObject* value, bool fallback) {
  if (value == nullptr) return fallback;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return std::nullopt;
  return truth != 0;
}

std::optional<std::size_t> index_argument(PyObject* value, const char* param) {
  if (value == nullptr) return 0;
  PyRef index(PyNumber_Index(value));
  if (!index) return std::nullopt;
  const Py_ssize_t n = PyLong_AsSsize_t(index.get());
  if (n == -1 && PyErr_Occurred()) return std::nullopt;
  if (n < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", param);
    return std::nullopt;
  }
  return static_cast<std::size_t>(n);
}

}  // namespace brisquel
