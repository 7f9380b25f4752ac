// The `logs` argument of a decoding call, converted whole before any line is
// decoded: every item checked and its UTF-8 text made ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "src/arguments.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

// The argument checks of a batch: not a str, and a sequence; false with the
// argument's TypeError set.
bool check_sequence_argument(PyObject* logs);

// Appends strong references to the list's items, taken under its lock.
void snapshot_list(PyObject* list, std::vector<PyRef>& out);

// How many items to make room for when iterating `sequence` (bounded).
bool iteration_length_hint(PyObject* sequence, std::size_t& hint);

// The next item of `iter`, or done; false with the error set (a TypeError
// prefixed as the argument's).
bool next_item(PyObject* iter, PyRef& item, bool& done);

// Calls reserve(n) once with the number of items (or a bounded guess), then
// keep(PyRef item) on each item of a sequence argument, in order: a list's
// items as taken under its lock, any other sequence's as iterated. False
// with the error set, when iterating or `keep` fails.
template <class Reserve, class Keep>
bool for_each_item(PyObject* sequence, Reserve&& reserve, Keep&& keep) {
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    std::vector<PyRef> items;
    if (PyTuple_CheckExact(sequence)) {
      const Py_ssize_t n = PyTuple_GET_SIZE(sequence);
      items.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) items.push_back(PyRef::borrow(PyTuple_GET_ITEM(sequence, i)));
    } else {
      snapshot_list(sequence, items);
    }
    reserve(items.size());
    for (PyRef& item : items) {
      if (!keep(std::move(item))) return false;
    }
    return true;
  }
  std::size_t hint = 0;
  if (!iteration_length_hint(sequence, hint)) return false;
  reserve(hint);
  PyRef iter(PyObject_GetIter(sequence));
  if (!iter) {
    prefix_argument_error("logs");
    return false;
  }
  for (;;) {
    PyRef item;
    bool done = false;
    if (!next_item(iter.get(), item, done)) return false;
    if (done) return true;
    if (!keep(std::move(item))) return false;
  }
}

class LogBatch {
 public:
  // How the texts may be read afterwards.
  enum class Use : std::uint8_t {
    // By this thread, holding the interpreter lock, while decoding runs no
    // Python code: a list may be read in place.
    Locked,
    // By this thread, holding the lock, while decoding may run Python code.
    LockedRunningPython,
    // With the lock released: every text is ready before, and every item is
    // held (or its container is immutable and held by the caller).
    Unlocked,
  };

  // Converts `logs` (a sequence of str, not a str itself); false with the
  // argument's TypeError (or the interpreter's own exception) set.
  bool convert(PyObject* logs, Use use);

  std::size_t size() const { return items_ != nullptr ? count_ : lines_.size(); }
  std::string_view operator[](std::size_t i) const {
    return items_ != nullptr ? text_of(items_[i]) : lines_[i];
  }

 private:
  // The UTF-8 text of a checked str: ASCII text is its own; other text was
  // encoded once by the check and is cached by the str itself.
  static std::string_view text_of(PyObject* item) {
    if (PyUnicode_IS_ASCII(item)) [[likely]] {
      return {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    return {utf8, static_cast<std::size_t>(size)};
  }

  // An immutable container's own items (or a list's, where nothing can
  // change it); every other way goes through for_each_item.
  bool read_in_place(PyObject* const* items, Py_ssize_t count, bool texts_now);
  bool hold_list(PyObject* list);

  bool add(PyRef item);

  PyObject* const* items_ = nullptr;  // read in place
  std::size_t count_ = 0;
  std::vector<std::string_view> lines_;
  std::vector<PyRef> owned_;
};

}  // namespace brisquel
