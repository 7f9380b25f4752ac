// The `logs` argument of parse_logs, converted whole before any line is
// decoded: the UTF-8 text of every line, read in place from the str objects,
// which the batch keeps alive.
#pragma once

#include <string_view>
#include <vector>

#include "src/py_ref.hpp"

namespace brisquel {

class LogBatch {
 public:
  // Converts `logs` (a sequence of str, not a str itself); false with the
  // argument's TypeError (or the interpreter's UnicodeEncodeError) set.
  bool convert(PyObject* logs);

  const std::vector<std::string_view>& lines() const { return lines_; }

 private:
  bool add(PyObject* item, bool owned);

  std::vector<std::string_view> lines_;
  std::vector<PyRef> owned_;  // items not kept alive by an immutable container
};

}  // namespace brisquel
