// Log lines given as Arrow data (`__arrow_c_stream__` or `__arrow_c_array__`):
// the arrays are moved out of the producer's capsules and released when the
// ArrowLines goes, with the interpreter lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/arrow/c_data.hpp"
#include "core/arrow/lines.hpp"
#include "src/py_ref.hpp"
#include "src/tables/arrow_import.hpp"

namespace brisquel::tables {

class ArrowLines {
 public:
  enum class Read : std::uint8_t {
    NotArrow,  // the object offers neither method: no error set
    Done,
    Failed,  // TypeError (a type other than strings or lists of them, named) or
             // ReadError (a malformed or already consumed array) set
  };

  ArrowLines() = default;
  ArrowLines(const ArrowLines&) = delete;
  ArrowLines& operator=(const ArrowLines&) = delete;

  Read read(PyObject* obj, const State& state);

  bool nested() const { return nested_; }
  // Rows (nested) or lines (flat), null ones included, over all arrays.
  std::size_t length() const {
    std::size_t n = 0;
    for (const arrow::LineColumn& c : columns_) n += static_cast<std::size_t>(c.length());
    return n;
  }

  // f(row, line, text) for every line: rows count on across the arrays.
  template <class F>
  void for_each(F&& f) const {
    std::int64_t base = 0;
    for (const arrow::LineColumn& c : columns_) {
      if (nested_) {
        c.for_each_nested([&](std::int64_t row, std::int64_t line, std::string_view text) { f(base + row, line, text); });
      } else {
        c.for_each_flat([&](std::int64_t line, std::string_view text) { f(0, base + line, text); });
      }
      base += c.length();
    }
  }

 private:
  bool take_schema();
  bool take_array(ArrowArray& array);

  ArrowImport import_{"logs"};  // declared first: the columns point into its arrays
  std::vector<arrow::LineColumn> columns_;
  bool nested_ = false;
};

}  // namespace brisquel::tables
