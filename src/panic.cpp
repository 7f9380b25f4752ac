#include "src/panic.hpp"

#include <cstdio>
#include <cstdlib>

namespace brisquel {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native decoder meets an internal fault.\n\n"
    "It derives from BaseException so that handlers for ordinary errors do not\n"
    "swallow it.";

// Where each interpreter keeps its class: a subinterpreter must never raise a
// class that another, perhaps finalized, interpreter created.
constexpr const char* kPanicKey = "brisquel.PanicException";

}  // namespace

PyObject* panic_exception_type() {
  PyObject* store = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (store == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no per-interpreter storage for PanicException");
    return nullptr;
  }
  PyObject* found = nullptr;
  const int got = PyDict_GetItemStringRef(store, kPanicKey, &found);
  if (got != 0) return found;  // the class, or nullptr with the lookup's error
  PyRef made(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
  PyRef key(PyUnicode_FromString(kPanicKey));
  if (!made || !key) return nullptr;
  // Two threads may race to create it: the dict keeps the first, and both use that one.
  PyObject* kept = nullptr;
  if (PyDict_SetDefaultRef(store, key.get(), made.get(), &kept) < 0) return nullptr;
  return kept;
}

void raise_panic(std::string_view message) {
  PyRef type(panic_exception_type());
  if (!type) return;  // the creation error stays pending
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type.get(), text.get());
}

void panic_after_python_error() {
  throw Panic("Python API call failed", PyErr_GetRaisedException());
}

void abort_out_of_memory() noexcept {
  std::fputs("brisquel: native memory allocation failed, aborting\n", stderr);
  std::abort();
}

}  // namespace brisquel
