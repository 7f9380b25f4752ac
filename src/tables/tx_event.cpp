// TxEvent, TxCall and CallError: named tuples, so that they unpack, compare and print as one.
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

PyTypeObject* create_tx_call_type(PyObject*) {
  return create_named_tuple_type(
      "TxCall",
      "tx signature slot block_time program instruction inner depth failed error name args accounts remaining "
      "problem path",
      "One instruction call of a transaction: where it was (tx, instruction, inner and depth as for TxEvent),\n"
      "the program called, whether the transaction failed, and the CallError of the call whose invocation\n"
      "failed (else None); the instruction's name, its arguments (a dict, as event fields), its accounts\n"
      "(a dict of account path to address, None where absent) and the remaining accounts (a list). A call\n"
      "that could not be read or decoded has args None and the reason in `problem` (else None); `path`\n"
      "says where in the arguments decoding failed (a tuple of field names and indexes, else None).");
}

PyTypeObject* create_call_error_type(PyObject*) {
  return create_named_tuple_type(
      "CallError", "code name message text",
      "How a call failed: code (the custom program error code, or None), name and message (from the\n"
      "program's IDL, else Anchor's own errors for codes below 6000, else None) and text (the runtime's).");
}

}  // namespace brisquel::tables
