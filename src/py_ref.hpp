// An owning Python reference: every path, error paths included, releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brisquel {

// Whether this build has the global interpreter lock: with it, a thread that
// holds the lock and runs no Python code sees no other thread's changes.
#ifdef Py_GIL_DISABLED
inline constexpr bool kHasInterpreterLock = false;
#else
inline constexpr bool kHasInterpreterLock = true;
#endif

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference over to the caller.
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  // A new reference to the same object, for a caller that steals it.
  [[nodiscard]] PyObject* new_ref() const { return Py_NewRef(p_); }

 private:
  PyObject* p_ = nullptr;
};

// A new list of the objects `items` refers to; nullptr with the error set.
template <class Refs>
PyObject* new_list(const Refs& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const PyRef& item : items) PyList_SET_ITEM(list, i++, item.new_ref());
  return list;
}

// Releases the interpreter lock (detaches the thread state) for as long as it
// lives: no Python object may be touched meanwhile.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  // Runs f with the lock taken back for a moment.
  template <class F>
  void relocked(F&& f) {
    PyEval_RestoreThread(state_);
    f();
    state_ = PyEval_SaveThread();
  }
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace brisquel
