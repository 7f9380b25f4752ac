// TransactionDecoder: whole transactions, as RPC nodes return them, into
// events attributed to their programs: from log lines and from self-CPI
// inner instructions, each decoded only with its own program's IDL.
#include <array>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core/tx/summary_tables.hpp"
#include "core/tx/tx_tables.hpp"
#include "core/tx/walk.hpp"
#include "idl/loader.hpp"
#include "src/arguments.hpp"
#include "src/native_type.hpp"
#include "src/tables/decoded_events.hpp"
#include "src/tables/errors.hpp"
#include "src/tables/json_input.hpp"
#include "src/tables/options.hpp"
#include "src/tables/program_idls.hpp"
#include "src/tables/schema.hpp"
#include "src/tables/tx_decoder.hpp"
#include "src/tables/tx_event.hpp"

namespace brisquel::tables {
namespace {


// Compiles every IDL of `items` into `programs`; false with IdlError (or
// the argument's TypeError) set.
bool add_programs(const State& state, std::vector<TxProgram>& programs, PyObject* items, PyObject* addresses,
                  const TableOptions& options) {
  auto loaded = load_programs(state, items, addresses);
  if (!loaded) return false;
  for (CompiledProgram& p : *loaded) {
    auto schemas = TableSchemas::make(*p.idl, options, kTxContextNames);
    if (!schemas) {
      raise_idl_reason(state, p.index, schemas.error());
      return false;
    }
    programs.push_back(TxProgram{std::move(p.address), std::move(p.idl), std::move(*schemas)});
  }
  return true;
}

// The Python objects the decoder's output is made of; false with the error set.
bool make_names(TxDecoder& d) {
  for (const TxProgram& p : d.programs) {
    PyNames& names = d.names.emplace_back();
    if (!names.build(*p.idl)) return false;
    d.addresses.push_back(str_of(p.address));
    if (!d.addresses.back()) return false;
    auto& keys = d.keys.emplace_back();
    for (const auto& key : p.schemas.keys) {
      PyRef k = str_of(key);
      if (!k) return false;
      keys.emplace_back(PyTuple_Pack(2, d.addresses.back().get(), k.get()));
      if (!keys.back()) return false;
    }
  }
  for (int s = 0; s < 3; ++s) {
    d.sources[s] = str_of(tx::source_name(static_cast<tx::Source>(s)));
    if (!d.sources[s]) return false;
  }
  return true;
}

constexpr Parameter kNewParams[] = {required("idls"), keyword("addresses"), keyword("pubkeys"), keyword("wide_ints"),
                                    keyword("short_events")};
constexpr Signature kNewSignature{"TransactionDecoder.__new__()", kNewParams};

PyObject* tx_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return tables_guard(type, [&]() -> PyObject* {
    Arguments<5> a;
    if (!a.bind(kNewSignature, args, kwargs)) return nullptr;
    PyObject* idls = a[0];
    PyObject* addresses = a[1];
    // Most events on chain are older, shorter versions of their program's
    // current layout; where the program is known, they decode by default.
    TableOptions options;
    options.null_short_events = true;
    if (!parse_options(a[2], a[3], a[4], options)) return nullptr;
    if (PyUnicode_Check(idls) || !PySequence_Check(idls)) {
      raise_not_instance("idls", idls, "Sequence");
      return nullptr;
    }
    if (addresses != nullptr && addresses != Py_None && !PyMapping_Check(addresses)) {
      raise_not_instance("addresses", addresses, "Mapping");
      return nullptr;
    }
    PyRef items(PySequence_Tuple(idls));
    if (!items) return nullptr;
    // Keys first: a name that matches no IDL is why an IDL then lacks its address.
    if (!check_idl_keys(addresses, "addresses", items.get())) return nullptr;
    const State& state = state_of(type);
    TxDecoder decoder;
    if (!add_programs(state, decoder.programs, items.get(), addresses, options)) return nullptr;
    if (!make_names(decoder) || !make_call_names(decoder)) return nullptr;
    return TxDecoderType::create(type, std::move(decoder));
  });
}

PyObject* tx_decoder_programs(PyObject* self, void*) {
  return TxDecoderType::call(self, [](const TxDecoder& d) { return new_list(d.addresses); });
}

constexpr Parameter kDecodeEventsParams[] = {required("transactions"), keyword("include_failed"), keyword("dedupe"),
                                             keyword("start"), keyword("strict"), keyword("json_fields")};
constexpr Signature kDecodeSignature{"TransactionDecoder.decode()", kDecodeEventsParams};
constexpr Signature kDecodeTablesSignature{"TransactionDecoder.decode_tables()", kDecodeParams};

// Appends the TxEvent items of walked transactions to `out` (decode,
// decode_counted), fields as Python values or, with `json_fields`, as JSON
// text. A body that does not decode is left out, left out and counted, or
// raises DecodeError (strict).
class TxEventItems {
 public:
  enum class Failures : std::uint8_t { kLeaveOut, kCount, kRaise };

  TxEventItems(const State& state, const TxDecoder& d, PyObject* out, bool json_fields, Failures failures)
      : state_(state), d_(d), out_(out), maker_(state.tx_event), fields_(json_fields), failures_(failures) {}

  // The events of transaction `at`; false with the error set.
  bool add(std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
    PyRef tx_index, signature, slot, block_time, truncated;
    for (const tx::FoundEvent& e : walk.events) {
      const auto match = match_found(d_.programs, e);
      if (!match) continue;
      const TxProgram& program = d_.programs[e.program];
      const bool may_end = program.schemas.options.null_short_events;
      WalkState& walk_state = walk_state_;
      walk_state.restart(match->body);
      PyRef fields = fields_.make(d_.names[e.program], [&](auto& sink) {
        typename std::remove_reference_t<decltype(sink)>::Walk w(sink, walk_state);
        return w.decode_fields(*match->layout->fields, {}, may_end);
      });
      const auto event = static_cast<std::size_t>(match->layout - program.idl->events().data());
      if (!fields) {
        if (fields_.raised()) return false;
        if (failures_ == Failures::kRaise) {
          walk_state.error.program = program.address;
          walk_state.error.item = program.schemas.keys[event];
          raise_decode_error(state_, walk_state.error);
          return false;
        }
        if (failures_ == Failures::kLeaveOut) continue;
        ++not_decoded;
        if (!may_end && older_event_version(*match->layout, match->body)) ++short_bodies;
        continue;
      }
      if (!tx_index) {  // made once per transaction that has an event
        tx_index = PyRef(PyLong_FromLongLong(at));
        signature = view.signature.empty() ? PyRef(Py_NewRef(Py_None)) : str_of(view.signature);
        slot = view.slot ? PyRef(PyLong_FromUnsignedLongLong(*view.slot)) : PyRef(Py_NewRef(Py_None));
        block_time = view.block_time ? PyRef(PyLong_FromLongLong(*view.block_time)) : PyRef(Py_NewRef(Py_None));
        truncated = PyRef(PyBool_FromLong(walk.truncated));
        if (!tx_index || !signature || !slot || !block_time) return false;
      }
      PyRef instruction = optional_int(e.instruction), inner = optional_int(e.inner), depth = optional_int(e.depth);
      if (!instruction || !inner || !depth) return false;
      std::array<PyObject*, kTxEventFields> values = {
          tx_index.new_ref(), signature.new_ref(), slot.new_ref(), block_time.new_ref(),
          d_.addresses[e.program].new_ref(), instruction.release(), inner.release(), depth.release(),
          d_.sources[static_cast<int>(e.source)].new_ref(), truncated.new_ref(),
          Py_NewRef(d_.names[e.program].event(event)), fields.release()};
      PyRef item(maker_.make(values));
      if (!item || PyList_Append(out_, item.get()) < 0) return false;
      ++added;
    }
    return true;
  }

  std::uint64_t added = 0;         // events appended
  std::uint64_t not_decoded = 0;   // kCount: bodies that matched an event but did not decode
  std::uint64_t short_bodies = 0;  // of those, older versions that short_events="null" decodes

 private:
  const State& state_;
  const TxDecoder& d_;
  PyObject* out_;
  TxEventMaker maker_;
  FieldsMaker fields_;
  Failures failures_;
  WalkState walk_state_{std::span<const std::uint8_t>{}};  // one for every event, restarted
};

PyObject* tx_decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    DecodeArgs a;
    const State& state = state_of(Py_TYPE(self));
    if (!a.bind(state, kDecodeSignature, args, nargs, kwnames)) return nullptr;
    // strict: an event that does not decode raises DecodeError instead of being left out.
    const auto strict = flag_argument(a.bound[4], false), json_fields = flag_argument(a.bound[5], false);
    if (!strict || !json_fields) return nullptr;
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    TxEventItems events(state, d, result.get(), *json_fields,
                        *strict ? TxEventItems::Failures::kRaise : TxEventItems::Failures::kLeaveOut);
    auto collect = [&](std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
      return events.add(at, view, walk);
    };
    TxPass pass = a.pass();
    pass.release_lock = false;
    if (!walk_transactions(state, d, a.input.text(), pass, collect)) return nullptr;
    return result.release();
  });
}

constexpr Parameter kDecodeCountedParams[] = {required("transactions"), keyword("include_failed"), keyword("dedupe"),
                                              keyword("start"), keyword("json_fields")};
constexpr Signature kDecodeCountedSignature{"TransactionDecoder.decode_counted()", kDecodeCountedParams};

// decode's events, calls' calls and what became of every transaction, from
// one reading: what the tx command prints and says at its end.
PyObject* tx_decoder_decode_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    DecodeArgs a;
    const State& state = state_of(Py_TYPE(self));
    if (!a.bind(state, kDecodeCountedSignature, args, nargs, kwnames)) return nullptr;
    const auto json_fields = flag_argument(a.bound[4], false);
    if (!json_fields) return nullptr;
    PyRef event_list(PyList_New(0)), call_list(PyList_New(0)), problems(PyDict_New()), one(PyLong_FromLong(1));
    if (!event_list || !call_list || !problems || !one) return nullptr;
    TxEventItems events(state, d, event_list.get(), *json_fields, TxEventItems::Failures::kCount);
    TxCallItems calls(state, d, call_list.get(), *json_fields);
    tx::CallFinder finder(d.programs);
    std::uint64_t unreadable = 0, matched = 0, failed = 0;
    auto collect = [&](std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
      if (view.problem) {
        ++unreadable;
        PyRef reason = str_of(view.problem.text);
        if (!reason) return false;
        PyObject* seen = nullptr;
        if (PyDict_GetItemRef(problems.get(), reason.get(), &seen) < 0) return false;
        PyRef before(seen);
        PyRef count(before ? PyNumber_Add(before.get(), one.get()) : one.new_ref());
        if (!count || PyDict_SetItem(problems.get(), reason.get(), count.get()) < 0) return false;
      }
      const auto& found = finder.find(view, walk);
      // Failed transactions are walked for their calls, to count those left out.
      if (view.failed && !a.include_failed) {
        failed += found.empty() ? 0 : 1;
        return true;
      }
      const std::uint64_t before = events.added;
      if (!events.add(at, view, walk) || !calls.add(at, view, found)) return false;
      matched += events.added != before || !found.empty() ? 1 : 0;
      return true;
    };
    TxPass pass = a.pass();
    pass.include_failed = true;
    pass.release_lock = false;
    pass.scope = tx::ReadScope::kCalls;
    const auto read = walk_transactions(state, d, a.input.text(), pass, collect);
    if (!read) return nullptr;
    using Count = unsigned long long;
    PyRef counts(Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "read", static_cast<Count>(*read), "unreadable",
                               static_cast<Count>(unreadable), "matched", static_cast<Count>(matched), "failed",
                               static_cast<Count>(failed), "not_decoded", static_cast<Count>(events.not_decoded),
                               "short", static_cast<Count>(events.short_bodies)));
    if (!counts) return nullptr;
    return PyTuple_Pack(4, event_list.get(), call_list.get(), counts.get(), problems.get());
  });
}

PyObject* tx_decoder_decode_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    DecodeArgs a;
    State& state = state_of(Py_TYPE(self));
    if (!a.bind(state, kDecodeTablesSignature, args, nargs, kwnames)) return nullptr;
    TxTables tables(d.programs);
    auto collect = [&](std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
      tables.add(at, view, walk);
      return true;
    };
    const auto read = walk_transactions(state, d, a.input.text(), a.pass(), collect);
    if (!read) return nullptr;
    TxTables::Output out;
    {
      ReleasedLock unlocked;
      out = tables.finish();
    }
    return decoded_of(state, d.keys, std::move(out.events), std::move(out.errors), *read, nullptr);
  });
}

constexpr Signature kAllTablesSignature{"TransactionDecoder.all_tables()", kDecodeParams};
constexpr Parameter kBlockTablesParams[] = {required("transactions"), keyword("include_failed"), keyword("dedupe"),
                                            keyword("start"), keyword("slot")};
constexpr Signature kBlockTablesSignature{"TransactionDecoder.block_tables()", kBlockTablesParams};

// Events and calls in one reading of the text: what decode_tables and
// call_tables give, for little more than decode_tables costs; with `summary`,
// the transactions and balances tables too (what a fetched block becomes).
PyObject* events_and_calls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           bool summary) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    State& state = state_of(Py_TYPE(self));
    DecodeArgs a;
    a.balances = summary;
    if (!a.bind(state, summary ? kBlockTablesSignature : kAllTablesSignature, args, nargs, kwnames)) return nullptr;
    // A getBlock result does not say its slot: the caller, who asked for it, does.
    std::optional<std::uint64_t> block_slot;
    if (a.bound.given(4) && a.bound[4] != Py_None) {
      const auto slot = index_argument(a.bound[4], "slot");
      if (!slot) return nullptr;
      block_slot = *slot;
    }
    tx::CallFinder finder(d.programs);
    TxTables events(d.programs);
    CallTables calls(d.programs, d.call_schemas);
    std::optional<SummaryTables> transactions;
    if (summary) transactions.emplace();
    auto every = [&](std::int64_t at, const tx::TxView& view) {
      if (transactions) transactions->add(at, view);  // every transaction, failed or not
    };
    auto collect = [&](std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
      events.add(at, view, walk);
      calls.add(at, view, walk, finder.find(view, walk));
      return true;
    };
    TxPass pass = a.pass();
    pass.scope = summary ? tx::ReadScope::kSummary : tx::ReadScope::kCalls;
    pass.block_slot = block_slot;
    const auto read = walk_transactions(state, d, a.input.text(), pass, collect, every);
    if (!read) return nullptr;
    TxTables::Output event_out;
    CallTables::Output call_out;
    SummaryTables::Output summary_out;
    {
      ReleasedLock unlocked;
      event_out = events.finish();
      call_out = calls.finish();
      if (transactions) summary_out = transactions->finish();
    }
    PyRef event_tables(decoded_of(state, d.keys, std::move(event_out.events), std::move(event_out.errors), *read,
                                  nullptr));
    if (!event_tables) return nullptr;
    PyRef call_tables(decoded_of(state, d.call_keys, std::move(call_out.calls), std::move(call_out.errors), *read,
                                 state.decoded_calls));
    if (!call_tables) return nullptr;
    if (!summary) return PyTuple_Pack(2, event_tables.get(), call_tables.get());
    PyRef summary_tables(summary_dict(state, std::move(summary_out)));
    if (!summary_tables) return nullptr;
    return PyTuple_Pack(3, event_tables.get(), call_tables.get(), summary_tables.get());
  });
}

PyObject* tx_decoder_all_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return events_and_calls(self, args, nargs, kwnames, false);
}

PyObject* tx_decoder_block_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return events_and_calls(self, args, nargs, kwnames, true);
}

PyObject* tx_decoder_count(PyObject* self, PyObject* transactions) {
  return TxDecoderType::call(self, [&](const TxDecoder&) -> PyObject* {
    JsonInput input;
    if (!input.open(state_of(Py_TYPE(self)), transactions)) return nullptr;
    std::size_t read = 0;
    auto visit = [&](const tx::TxView&, std::size_t index) {
      read = index + 1;
      return true;
    };
    if (!read_transactions(state_of(Py_TYPE(self)), input.text(), true, visit)) return nullptr;
    return PyLong_FromSize_t(read);
  });
}

PyObject* tx_decoder_schema(PyObject* self, PyObject* key) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    for (std::size_t p = 0; p < d.keys.size(); ++p) {
      for (std::size_t i = 0; i < d.keys[p].size(); ++i) {
        const int equal = PyObject_RichCompareBool(d.keys[p][i].get(), key, Py_EQ);
        if (equal < 0) return nullptr;
        if (equal == 0) continue;
        std::vector<arrow::Field> fields = tx_context();
        const auto& columns = d.programs[p].schemas.events[i].fields.type.children;
        fields.insert(fields.end(), columns.begin(), columns.end());
        return new_schema(state_of(Py_TYPE(self)), std::move(fields));
      }
    }
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  });
}

PyMethodDef tx_decoder_methods[] = {
    {"count", tx_decoder_count, METH_O,
     "count($self, transactions, /)\n--\n\n"
     "How many transactions `transactions` holds (read, not decoded)."},
    {"schema", tx_decoder_schema, METH_O,
     "schema($self, key, /)\n--\n\n"
     "The Arrow schema of the table of `key`, a (program address, event key) pair."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_decode)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode($self, transactions, *, include_failed=False, dedupe=True, start=0, strict=False, json_fields=False)\n"
     "--\n\n"
     "Every event of the transactions, each decoded with its own program's IDL.\n\n"
     "`transactions`: getTransaction or getBlock results, RPC responses, or\n"
     "sequences of these, as Python objects or as JSON text (str or bytes: one\n"
     "value, an array, or JSON lines). Returns a list of TxEvent in transaction\n"
     "order and, within one, in execution order; `tx` counts from `start`. An event\n"
     "that does not decode is left out (decode_tables lists it in `errors`), or with\n"
     "strict=True raises DecodeError. json_fields=True: fields as JSON text, as the\n"
     "command line writes them (integers exact, public keys base58, bytes hex, NaN\n"
     "and infinities as strings).\n"
     "Raises ReadError for a text that cannot be read."},
    {"decode_counted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_decode_counted)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_counted($self, transactions, *, include_failed=False, dedupe=True, start=0, json_fields=False)\n"
     "--\n\n"
     "decode's events, calls' calls and what became of every transaction, from one\n"
     "reading: (events, calls, counts, problems). `counts`: `read` (transactions\n"
     "read), `unreadable` (those that could not be read; `problems` maps each reason\n"
     "to how many), `matched` (of those kept, the ones with an event decoded or a\n"
     "call to the programs), `failed` (failed transactions calling the programs, left\n"
     "out; 0 with include_failed=True), `not_decoded` (event bodies that did not\n"
     "decode: decode_tables' errors without the unreadable transactions) and `short`\n"
     "(of those, older versions that short_events='null' decodes; 0 with it)."},
    {"decode_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_decode_tables)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_tables($self, transactions, *, include_failed=False, dedupe=True, start=0)\n--\n\n"
     "The same events as Arrow tables, one per (program, event): a DecodedEvents,\n"
     "whose `inputs` is the number of transactions read."},
    {"all_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_all_tables)),
     METH_FASTCALL | METH_KEYWORDS,
     "all_tables($self, transactions, *, include_failed=False, dedupe=True, start=0)\n--\n\n"
     "(decode_tables(...), call_tables(...)) from one reading of the transactions."},
    {"transaction_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_transaction_tables)),
     METH_FASTCALL | METH_KEYWORDS,
     "transaction_tables($self, transactions, *, start=0)\n--\n\n"
     "The tables that need no IDL: {'transactions': one row per transaction (fee,\n"
     "error, compute units and budget, fee payer, version, invoked programs), \n"
     "'balances': one row per changed SOL or token balance}. Failed transactions\n"
     "included; `_tx` counts from `start`."},
    {"block_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_block_tables)),
     METH_FASTCALL | METH_KEYWORDS,
     "block_tables($self, transactions, *, include_failed=False, dedupe=True, start=0, slot=None)\n--\n\n"
     "(decode_tables(...), call_tables(...), transaction_tables(...)) from one reading;\n"
     "`slot`: the slot of blocks that do not say theirs (getBlock results do not)."},
    {"calls", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_calls)),
     METH_FASTCALL | METH_KEYWORDS,
     "calls($self, transactions, *, include_failed=False, start=0, json_fields=False)\n--\n\n"
     "Every instruction call to the programs, outer and inner, in execution order:\n"
     "a list of TxCall. A call is an instruction of one of the programs whose data\n"
     "starts with one of its IDL's instruction discriminators, whoever made it; its\n"
     "arguments decode as event fields do. A call that cannot be read or whose\n"
     "arguments do not decode has args None and the reason in `problem`.\n"
     "json_fields=True: args as JSON text, as decode writes fields.\n"
     "Raises ReadError for a text that cannot be read."},
    {"call_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_call_tables)),
     METH_FASTCALL | METH_KEYWORDS,
     "call_tables($self, transactions, *, include_failed=False, start=0)\n--\n\n"
     "The same calls as Arrow tables, one per (program, instruction): a DecodedCalls,\n"
     "whose `errors` holds the calls that could not be read or decoded."},
    {"call_schema", tx_decoder_call_schema, METH_O,
     "call_schema($self, key, /)\n--\n\n"
     "The Arrow schema of the call table of `key`, a (program address, instruction) pair."},
    {"instruction_names", tx_decoder_instruction_names, METH_O,
     "instruction_names($self, program, /)\n--\n\n"
     "The instruction keys of `program` (an address), in declaration order: the keys\n"
     "of its call tables."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tx_decoder_getset[] = {
    {"programs", tx_decoder_programs, nullptr, "The programs' addresses in the order of their IDLs (a Codama document gives one per program it holds).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tx_decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TransactionDecoder(idls, *, addresses=None, pubkeys='base58', wide_ints='decimal', "
                    "short_events='null')\n--\n\n"
                    "Decodes the events of whole transactions, each with the IDL of the program that\n"
                    "emitted it: log lines under the program's invocation and self-CPI events; and the\n"
                    "instruction calls to the programs (calls, call_tables).\n"
                    "Raises IdlError for an IDL that cannot be used.")},
    {Py_tp_new, reinterpret_cast<void*>(tx_decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TxDecoderType::dealloc)},
    {Py_tp_methods, tx_decoder_methods},
    {Py_tp_getset, tx_decoder_getset},
    {0, nullptr},
};

PyType_Spec tx_decoder_spec = TxDecoderType::spec("brisquel.TransactionDecoder", tx_decoder_slots);

}  // namespace

PyTypeObject* create_transaction_decoder_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &tx_decoder_spec, nullptr));
}

}  // namespace brisquel::tables
