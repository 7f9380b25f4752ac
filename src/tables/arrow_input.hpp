// Log lines given as Arrow data (`__arrow_c_stream__` or `__arrow_c_array__`):
// the arrays are moved out of the producer's capsules and released when the
// ArrowLines goes, with the interpreter lock held. A producer's callbacks and
// capsule destructors may run Python code, which must not meet a pending
// exception: ours is set aside while they run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/arrow/c_data.hpp"
#include "core/arrow/lines.hpp"
#include "src/py_ref.hpp"

namespace brisquel::tables {

class ArrowLines {
 public:
  enum class Read : std::uint8_t {
    NotArrow,  // the object offers neither method: no error set
    Done,
    Failed,  // TypeError (a type other than strings or lists of them, named) or
             // ValueError (a malformed or already consumed array) set
  };

  ArrowLines() = default;
  ArrowLines(const ArrowLines&) = delete;
  ArrowLines& operator=(const ArrowLines&) = delete;
  ~ArrowLines();

  Read read(PyObject* obj);

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
  Read read_from(PyObject* obj);
  Read read_stream(PyObject* capsule);
  Read read_array(PyObject* pair);
  bool take_schema();
  bool take_array(ArrowArray& array);
  // Gives the producer's stream and capsules back; with `data`, the schema
  // and arrays too. Keeps any pending exception as it was.
  void let_go(bool data);

  PyRef source_;  // the capsule, or the (schema, array) pair of capsules
  ArrowArrayStream stream_{};

  ArrowSchema schema_{};
  std::vector<ArrowArray> arrays_;
  std::vector<arrow::LineColumn> columns_;
  bool nested_ = false;
};

}  // namespace brisquel::tables
