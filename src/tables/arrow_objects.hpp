// The Python faces of Arrow data: an event's table, a schema, the mapping of
// one call's tables, and reading Arrow input through the PyCapsule interface.
#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/arrow/array_data.hpp"
#include "core/arrow/c_data.hpp"
#include "core/arrow/lines.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// A new EventTable named `name` over `table`; nullptr with an error set.
PyObject* new_event_table(State& state, PyObject* name, std::shared_ptr<const arrow::Table> table);

// A new Schema object over `fields`.
PyObject* new_schema(State& state, std::vector<arrow::Field> fields);

// A new DecodedEvents: keys[i] -> EventTable over tables[i], in order, the
// errors table, and how many inputs (transactions, rows or lines) were read.
PyObject* new_decoded_events(State& state, std::span<PyObject* const> keys,
                             std::vector<std::shared_ptr<const arrow::Table>>&& tables,
                             std::shared_ptr<const arrow::Table> errors, std::int64_t inputs);

// Log lines held by an Arrow object (`__arrow_c_stream__` or
// `__arrow_c_array__`): the arrays are moved out of the capsules and
// released when this is destroyed, with the interpreter lock held.
class ArrowLines {
 public:
  ArrowLines() = default;
  ArrowLines(const ArrowLines&) = delete;
  ~ArrowLines();

  // 1 when `obj` is an Arrow object and was read; 0 when it is not one; -1
  // with TypeError (a type other than strings or lists of them, named) or
  // ValueError (a malformed or released array) set.
  int read(PyObject* obj);

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
  int read_stream(PyObject* capsule);
  int read_array(PyObject* pair);
  bool take_schema();
  bool take_array(ArrowArray& array);

  ArrowSchema schema_{};
  std::vector<ArrowArray> arrays_;
  std::vector<arrow::LineColumn> columns_;
  bool nested_ = false;
};

}  // namespace brisquel::tables
