#include "src/panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace brisquel {
namespace {

// Created once per process, then shared. Without a global lock two threads may
// race to create it: the loser drops its copy and uses the winner's.
std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char* kPanicDoc =
    "Raised when the native decoder meets an internal fault.\n\n"
    "It derives from BaseException so that handlers for ordinary errors do not\n"
    "swallow it.";

}  // namespace

PyObject* panic_exception_type() {
  PyObject* type = g_panic_type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!g_panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;  // kept for the life of the process
}

void raise_panic(const Panic& panic) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation error stays pending
  PyRef message(PyUnicode_DecodeUTF8(panic.message.data(), static_cast<Py_ssize_t>(panic.message.size()),
                                     "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

void panic_after_python_error() {
  throw Panic{"Python API call failed", PyErr_GetRaisedException()};
}

void abort_out_of_memory() noexcept {
  std::fputs("brisquel: native memory allocation failed, aborting\n", stderr);
  std::abort();
}

}  // namespace brisquel
