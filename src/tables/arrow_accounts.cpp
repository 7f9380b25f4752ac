#include "src/tables/arrow_accounts.hpp"

namespace brisquel::tables {

ArrowAccounts::~ArrowAccounts() {
  for (ArrowArray& a : arrays_) {
    if (a.release != nullptr) a.release(&a);
  }
  if (schema_.release != nullptr) schema_.release(&schema_);
}

ArrowAccounts::Read ArrowAccounts::read(PyObject*) { return Read::NotArrow; }

}  // namespace brisquel::tables
