// The `logs` argument of a decoding call, converted whole before any line is
// decoded: every item checked and its UTF-8 text made ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "src/py_ref.hpp"

namespace brisquel {

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

  // The three ways in: an immutable container's own items; a snapshot of a
  // list taken under its lock; any other sequence, iterated.
  bool read_in_place(PyObject* const* items, Py_ssize_t count, bool texts_now);
  bool snapshot_list(PyObject* list);
  bool iterate(PyObject* sequence);

  bool add(PyRef item);

  PyObject* const* items_ = nullptr;  // read in place
  std::size_t count_ = 0;
  std::vector<std::string_view> lines_;
  std::vector<PyRef> owned_;
};

}  // namespace brisquel
