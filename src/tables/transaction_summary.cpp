// The tables that need no IDL (transactions, balances); block_tables gives
// them beside the events and calls of the same reading (transaction_decoder.cpp).
#include "core/tx/summary_tables.hpp"
#include "src/tables/event_table.hpp"
#include "src/tables/tx_decoder.hpp"

namespace brisquel::tables {

PyObject* summary_dict(State& state, SummaryTables::Output&& out) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, std::shared_ptr<const arrow::Table>*> tables[] = {
      {"transactions", &out.transactions}, {"balances", &out.balances}};
  for (const auto& [name, table] : tables) {
    PyRef key(PyUnicode_FromString(name));
    if (!key) return nullptr;
    PyRef value(new_event_table(state, key.get(), std::move(*table)));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

constexpr Parameter kSummaryParams[] = {required("transactions"), keyword("start")};
constexpr Signature kSummarySignature{"TransactionDecoder.transaction_tables()", kSummaryParams};

}  // namespace

PyObject* tx_decoder_transaction_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TxDecoderType::call(self, [&](const TxDecoder&) -> PyObject* {
    Arguments<2> a;
    if (!a.bind(kSummarySignature, args, nargs, kwnames)) return nullptr;
    const auto start = index_argument(a[1], "start");
    if (!start) return nullptr;
    JsonInput input;
    if (!input.open(state_of(Py_TYPE(self)), a[0], true)) return nullptr;
    State& state = state_of(Py_TYPE(self));
    SummaryTables tables;
    auto visit = [&](const tx::TxView& view, std::size_t index) {
      tables.add(static_cast<std::int64_t>(*start + index), view);
      return true;
    };
    if (!read_transactions(state, input.text(), true, visit, tx::ReadScope::kSummary)) return nullptr;
    SummaryTables::Output out;
    {
      ReleasedLock unlocked;
      out = tables.finish();
    }
    return summary_dict(state, std::move(out));
  });
}

}  // namespace brisquel::tables
