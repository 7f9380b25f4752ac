// TxEvent: a named tuple, so that it unpacks, compares and prints as one.
#include "src/tables/tx_event.hpp"

namespace brisquel::tables {

PyTypeObject* create_tx_event_type(PyObject*) {
  return create_named_tuple_type(
      "TxEvent", "tx signature slot block_time program instruction inner depth source truncated name fields",
      "One event of a transaction: where it was found (tx: the transaction's index in the input; instruction:\n"
      "the outer instruction; inner: the inner instruction that carried it or whose invocation logged it;\n"
      "depth: the invoke depth of the program that emitted it; source: 'log', 'cpi' or 'log+cpi'), its\n"
      "program's address, and the event's name and fields as parse_logs makes them.");
}

}  // namespace brisquel::tables
