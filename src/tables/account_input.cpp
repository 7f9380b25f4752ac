#include "src/tables/account_input.hpp"

namespace brisquel::tables {

bool AccountInput::open(const State& state, PyObject* obj) {
  switch (arrow_.read(obj, state)) {
    case ArrowAccounts::Read::Done: from_arrow_ = true; return true;
    case ArrowAccounts::Read::Failed: return false;
    case ArrowAccounts::Read::NotArrow: break;
  }
  switch (rows_.read(obj)) {
    case AccountRows::Read::Done: return true;
    case AccountRows::Read::Failed: return false;
    case AccountRows::Read::NotRows: break;
  }
  from_json_ = true;
  return json_.open(state, obj);
}

}  // namespace brisquel::tables
