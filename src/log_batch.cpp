#include "src/log_batch.hpp"

namespace brisquel {
namespace {

constexpr const char* kParam = "logs";

// Checks one item; false with the argument's error set. Non-ASCII text is
// encoded (and cached by the str) now, so a lone surrogate fails before any
// line is decoded.
bool check_item(PyObject* item) {
  if (!PyUnicode_Check(item)) {
    raise_not_instance(kParam, item, "str");
    return false;
  }
  return PyUnicode_IS_ASCII(item) || PyUnicode_AsUTF8AndSize(item, nullptr) != nullptr;
}

}  // namespace

bool check_sequence_argument(PyObject* logs) {
  if (PyUnicode_Check(logs)) {
    PyErr_SetString(PyExc_TypeError, "argument 'logs': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(logs)) {
    raise_not_instance(kParam, logs, "Sequence");
    return false;
  }
  return true;
}

void snapshot_list(PyObject* list, std::vector<PyRef>& out) {
  // Taken whole under the list's lock, so another thread's change lands
  // entirely before or after it; the items are looked at only afterwards,
  // which may take locks of their own.
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t n = PyList_GET_SIZE(list);
  out.reserve(out.size() + static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.emplace_back(Py_NewRef(PyList_GET_ITEM(list, i)));
  Py_END_CRITICAL_SECTION();
}

bool iteration_length_hint(PyObject* sequence, std::size_t& hint) {
  // The length only sizes buffers, and a failure to tell it is ignored unless
  // it is not an ordinary error (KeyboardInterrupt, SystemExit). It comes
  // from Python code and may be a lie: trusting a huge one would abort the
  // process on a failed reservation.
  constexpr Py_ssize_t kMaxTrustedLength = 1 << 16;
  const Py_ssize_t n = PyObject_Size(sequence);
  if (n < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    hint = 0;
    return true;
  }
  hint = static_cast<std::size_t>(n < kMaxTrustedLength ? n : kMaxTrustedLength);
  return true;
}

bool next_item(PyObject* iter, PyRef& item, bool& done) {
  PyObject* next = nullptr;
  const int got = PyIter_NextItem(iter, &next);
  if (got < 0) {
    prefix_argument_error(kParam);
    return false;
  }
  done = got == 0;
  item = PyRef(next);
  return true;
}

bool LogBatch::convert(PyObject* logs, Use use) {
  if (!check_sequence_argument(logs)) return false;
  // A tuple never changes, and the caller holds it for the whole call.
  if (PyTuple_CheckExact(logs)) {
    return read_in_place(PySequence_Fast_ITEMS(logs), PyTuple_GET_SIZE(logs), use == Use::Unlocked);
  }
  if (PyList_CheckExact(logs)) {
    if (use == Use::Locked && kHasInterpreterLock) {
      return read_in_place(PySequence_Fast_ITEMS(logs), PyList_GET_SIZE(logs), false);
    }
    return hold_list(logs);
  }
  return for_each_item(
      logs,
      [&](std::size_t n) {
        lines_.reserve(n);
        owned_.reserve(n);
      },
      [&](PyRef item) { return add(std::move(item)); });
}

bool LogBatch::read_in_place(PyObject* const* items, Py_ssize_t count, bool texts_now) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!check_item(items[i])) return false;
  }
  if (texts_now) {
    // Nothing may ask the interpreter for a text once the lock is released.
    lines_.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) lines_.push_back(text_of(items[i]));
    return true;
  }
  items_ = items;
  count_ = static_cast<std::size_t>(count);
  return true;
}

bool LogBatch::hold_list(PyObject* list) {
  // One pass under the list's lock takes a reference to every item and the
  // text of every ASCII str (all there is to it); the other items, which may
  // need a lock of their own to be encoded or refused, are seen afterwards,
  // in order, so the first bad item is the one reported.
  std::vector<std::size_t> later;
  Py_BEGIN_CRITICAL_SECTION(list);
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
  owned_.reserve(n);
  lines_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    owned_.emplace_back(Py_NewRef(item));
    if (PyUnicode_Check(item) && PyUnicode_IS_ASCII(item)) {
      lines_.push_back(text_of(item));
    } else {
      lines_.emplace_back();
      later.push_back(i);
    }
  }
  Py_END_CRITICAL_SECTION();
  for (const std::size_t i : later) {
    if (!check_item(owned_[i].get())) return false;
    lines_[i] = text_of(owned_[i].get());
  }
  return true;
}

bool LogBatch::add(PyRef item) {
  if (!check_item(item.get())) return false;
  lines_.push_back(text_of(item.get()));
  owned_.push_back(std::move(item));
  return true;
}

}  // namespace brisquel
