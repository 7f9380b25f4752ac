// AccountState: one decoded account, a named tuple.
#include "src/tables/named_tuple.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

PyTypeObject* create_account_state_type(PyObject*) {
  return create_named_tuple_type(
      "AccountState", "pubkey owner lamports slot name fields problem path",
      "One decoded account: its address (None when the input does not say), its owner (the program), its\n"
      "lamports and the slot it was read at (None when unknown), its account type's name, and its fields\n"
      "as parse_logs makes an event's. One that did not decode has fields None and the reason in `problem`\n"
      "(else None; the default), and name None when its data text did not decode; `path` says where in\n"
      "the value it failed (field and variant names, element indexes, outermost first), else None.", 2);
}

}  // namespace brisquel::tables
