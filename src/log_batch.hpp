// The `logs` argument of parse_logs, converted whole before any line is
// decoded: every item checked and its UTF-8 text made ready. A list or tuple
// that cannot change while the batch is decoded is read in place, at no cost
// per line; any other sequence leaves the texts of its items, kept alive.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "src/py_ref.hpp"

namespace brisquel {

class LogBatch {
 public:
  // Converts `logs` (a sequence of str, not a str itself); false with the
  // argument's TypeError (or the interpreter's UnicodeEncodeError) set.
  // `runs_python` tells whether decoding may run Python code, which could
  // change a list while it is read.
  bool convert(PyObject* logs, bool runs_python);

  std::size_t size() const { return items_ != nullptr ? count_ : lines_.size(); }
  std::string_view operator[](std::size_t i) const {
    return items_ != nullptr ? text_of(items_[i]) : lines_[i];
  }

 private:
  // The UTF-8 text of a checked item: ASCII text is its own; other text was
  // encoded once by the check and is kept by the str itself.
  static std::string_view text_of(PyObject* item) {
    if (PyUnicode_IS_ASCII(item)) [[likely]] {
      return {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    return {utf8, static_cast<std::size_t>(size)};
  }

  bool check_in_place(PyObject* const* items, Py_ssize_t count);
  bool add(PyObject* item, bool owned);

  PyObject* const* items_ = nullptr;  // a list's or tuple's own items, read in place
  std::size_t count_ = 0;
  std::vector<std::string_view> lines_;
  std::vector<PyRef> owned_;  // items not kept alive by an immutable container
};

}  // namespace brisquel
