#include "src/log_batch.hpp"

#include <algorithm>

#include "src/arguments.hpp"

namespace brisquel {
namespace {
constexpr const char* kParam = "logs";
}

bool LogBatch::add(PyObject* item, bool owned) {
  if (owned) owned_.emplace_back(item);
  if (!PyUnicode_Check(item)) {
    raise_not_instance(kParam, item, "str");
    return false;
  }
  if (PyUnicode_IS_ASCII(item)) {  // most log lines: the text is its own UTF-8
    lines_.emplace_back(static_cast<const char*>(PyUnicode_DATA(item)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (utf8 == nullptr) return false;  // a lone surrogate: UnicodeEncodeError as it is
  lines_.emplace_back(utf8, static_cast<std::size_t>(size));
  return true;
}

bool LogBatch::check_in_place(PyObject* const* items, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = items[i];
    if (!PyUnicode_Check(item)) {
      raise_not_instance(kParam, item, "str");
      return false;
    }
    // Encodes (and caches) non-ASCII text now, so a lone surrogate fails
    // before any line is decoded.
    if (!PyUnicode_IS_ASCII(item) && PyUnicode_AsUTF8AndSize(item, nullptr) == nullptr) return false;
  }
  items_ = items;
  count_ = static_cast<std::size_t>(count);
  return true;
}

bool LogBatch::convert(PyObject* logs, bool runs_python) {
  if (PyUnicode_Check(logs)) {
    PyErr_SetString(PyExc_TypeError, "argument 'logs': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(logs)) {
    raise_not_instance(kParam, logs, "Sequence");
    return false;
  }
  // A tuple never changes and the caller holds it for the whole call.
  if (PyTuple_CheckExact(logs)) return check_in_place(PySequence_Fast_ITEMS(logs), PyTuple_GET_SIZE(logs));
#ifndef Py_GIL_DISABLED
  // Only Python code could change a list while this thread holds the
  // interpreter lock, and the interpreter runs none of its own (a collection
  // waits for the next bytecode): without 256-bit values, decoding runs none.
  if (PyList_CheckExact(logs) && !runs_python) {
    return check_in_place(PySequence_Fast_ITEMS(logs), PyList_GET_SIZE(logs));
  }
#else
  (void)runs_python;
#endif
  if (PyList_CheckExact(logs)) {
    // Python code run while decoding (or, without the GIL, another thread) may
    // change the list: each item is held by a strong reference.
    lines_.reserve(static_cast<std::size_t>(PyList_GET_SIZE(logs)));
    owned_.reserve(static_cast<std::size_t>(PyList_GET_SIZE(logs)));
#ifdef Py_GIL_DISABLED
    for (Py_ssize_t i = 0;; ++i) {
      PyObject* item = PyList_GetItemRef(logs, i);
      if (item == nullptr) {
        PyErr_Clear();  // IndexError: the end of the list
        return true;
      }
      if (!add(item, true)) return false;
    }
#else
    // Nothing below runs Python code, so the list holds still while it is read.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(logs); ++i) {
      if (!add(Py_NewRef(PyList_GET_ITEM(logs, i)), true)) return false;
    }
    return true;
#endif
  }
  // Any other sequence: the length only sizes the buffers, and a failure to
  // tell it is ignored. It comes from Python code and may be a lie: trusting
  // a huge one would abort the process on a failed reservation.
  constexpr Py_ssize_t kMaxTrustedLength = 1 << 16;
  const Py_ssize_t hint = PyObject_Size(logs);
  if (hint < 0) PyErr_Clear();
  else lines_.reserve(static_cast<std::size_t>(std::min(hint, kMaxTrustedLength)));
  PyRef iter(PyObject_GetIter(logs));
  if (!iter) {
    prefix_argument_error(kParam);
    return false;
  }
  for (;;) {
    PyObject* item = nullptr;
    const int got = PyIter_NextItem(iter.get(), &item);
    if (got == 0) return true;
    if (got < 0) {
      prefix_argument_error(kParam);
      return false;
    }
    if (!add(item, true)) return false;
  }
}

}  // namespace brisquel
