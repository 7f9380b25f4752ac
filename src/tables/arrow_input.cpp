#include "src/tables/arrow_input.hpp"

namespace brisquel::tables {

ArrowLines::Read ArrowLines::read(PyObject* obj, const State& state) {
  switch (import_.read(
      obj, [this] { return take_schema(); }, [this](ArrowArray& a) { return take_array(a); }, &state)) {
    case ArrowImport::Read::NotArrow: return Read::NotArrow;
    case ArrowImport::Read::Done: return Read::Done;
    case ArrowImport::Read::Failed: break;
  }
  return Read::Failed;
}

bool ArrowLines::take_schema() {
  auto nested = arrow::LineColumn::check_schema(import_.schema());
  if (!nested) {
    import_.raise(PyExc_TypeError, nested.error());
    return false;
  }
  nested_ = *nested;
  return true;
}

bool ArrowLines::take_array(ArrowArray& array) {
  auto column = arrow::LineColumn::open(import_.schema(), array);
  if (!column) {
    import_.raise(PyExc_ValueError, column.error());
    return false;
  }
  columns_.push_back(std::move(*column));
  return true;
}

}  // namespace brisquel::tables
