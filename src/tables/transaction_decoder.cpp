// TransactionDecoder: whole transactions, as RPC nodes return them, into
// events attributed to their programs: from log lines and from self-CPI
// inner instructions, each decoded only with its own program's IDL.
#include <memory>
#include <string>
#include <vector>

#include "core/tx/rpc_json.hpp"
#include "core/tx/tx_tables.hpp"
#include "core/tx/walk.hpp"
#include "idl/loader.hpp"
#include "src/arguments.hpp"
#include "src/decoder.hpp"
#include "src/panic.hpp"
#include "src/python_sink.hpp"
#include "src/tables/arrow_objects.hpp"
#include "src/tables/options.hpp"
#include "src/tables/py_json.hpp"

namespace brisquel::tables {
namespace {

// What a TransactionDecoder keeps: immutable after construction.
struct TxCore {
  std::vector<TxProgram> programs;
  std::vector<PyNames> names;             // per program: the names its Python values use
  std::vector<PyRef> addresses;           // per program: str
  std::vector<std::vector<PyRef>> keys;   // per program: (address, event key) tuples
  PyRef sources[3];                       // "log", "cpi", "log+cpi"
};

struct TxDecoderObject {
  PyObject_HEAD
  TxCore* core;
};

const TxCore& core_of(PyObject* self) { return *reinterpret_cast<TxDecoderObject*>(self)->core; }

PyRef str_of(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// The address `addresses` gives IDL number `index` (named `name`), if any:
// by index first, then by name. False with an error set.
bool given_address(PyObject* addresses, std::size_t index, const std::optional<std::string>& name,
                   std::optional<std::string>& out) {
  if (addresses == nullptr || addresses == Py_None) return true;
  PyRef key(PyLong_FromSize_t(index));
  if (!key) return false;
  PyObject* found = nullptr;
  if (PyMapping_GetOptionalItem(addresses, key.get(), &found) < 0) return false;
  if (found == nullptr && name) {
    PyRef name_key = str_of(*name);
    if (!name_key || PyMapping_GetOptionalItem(addresses, name_key.get(), &found) < 0) return false;
  }
  if (found == nullptr) return true;
  PyRef value(found);
  if (!PyUnicode_Check(found)) {
    raise_not_instance("addresses", found, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(found, &size);
  if (text == nullptr) return false;
  out = std::string(text, static_cast<std::size_t>(size));
  return true;
}

void raise_idl_error(std::size_t index, const std::string& message) {
  raise_value_error("idls[" + std::to_string(index) + "]: " + message);
}

PyObject* tx_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"idls", "addresses", "pubkeys", "wide_ints", "short_events", nullptr};
    PyObject* idls = nullptr;
    PyObject* addresses = nullptr;
    PyObject* pubkeys = nullptr;
    PyObject* wide_ints = nullptr;
    PyObject* short_events = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:TransactionDecoder", const_cast<char**>(kwlist), &idls,
                                     &addresses, &pubkeys, &wide_ints, &short_events)) {
      return nullptr;
    }
    TableOptions options;
    if (!parse_options(pubkeys, wide_ints, short_events, options)) return nullptr;
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
    auto core = std::make_unique<TxCore>();
    const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    for (std::size_t i = 0; i < n; ++i) {
      auto text = idl_text(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), "idls");
      if (!text) return nullptr;
      std::optional<std::string> address;
      if (!given_address(addresses, i, idl::program_name(*text), address)) return nullptr;
      auto idl = idl::convert_idl(*text, address);
      if (!idl) {
        if (idl.error() == "Program id missing in `idl.metadata.address` field") {
          raise_idl_error(i, "the IDL names no program address; give one in `addresses`");
        } else {
          raise_idl_error(i, "failed to parse IDL: " + idl.error());
        }
        return nullptr;
      }
      if (idl->address.empty()) {
        raise_idl_error(i, "the IDL names no program address; give one in `addresses`");
        return nullptr;
      }
      for (std::size_t j = 0; j < core->programs.size(); ++j) {
        if (core->programs[j].address == idl->address) {
          raise_value_error("idls[" + std::to_string(j) + "] and idls[" + std::to_string(i) +
                            "] are both for program " + idl->address);
          return nullptr;
        }
      }
      auto tables = CompiledIdl::build(*idl);
      if (!tables) {
        raise_idl_error(i, tables.error());
        return nullptr;
      }
      auto schemas = TableSchemas::make(**tables, options, kTxContextNames);
      if (!schemas) {
        raise_idl_error(i, schemas.error());
        return nullptr;
      }
      core->programs.push_back(TxProgram{idl->address, std::move(*tables), std::move(*schemas)});
    }
    for (const TxProgram& p : core->programs) {
      PyNames& names = core->names.emplace_back();
      if (!names.build(*p.idl)) return nullptr;
      core->addresses.push_back(str_of(p.address));
      if (!core->addresses.back()) return nullptr;
      auto& keys = core->keys.emplace_back();
      for (const auto& key : p.schemas.keys) {
        PyRef k = str_of(key);
        if (!k) return nullptr;
        keys.emplace_back(PyTuple_Pack(2, core->addresses.back().get(), k.get()));
        if (!keys.back()) return nullptr;
      }
    }
    for (int s = 0; s < 3; ++s) {
      core->sources[s] = str_of(tx::source_name(static_cast<tx::Source>(s)));
      if (!core->sources[s]) return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<TxDecoderObject*>(self)->core = core.release();
    return self;
  });
}

void tx_decoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TxDecoderObject*>(self)->core;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* tx_decoder_programs(PyObject* self, void*) {
  const auto& addresses = core_of(self).addresses;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(addresses.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), addresses[i].new_ref());
  }
  return list;
}

std::vector<std::string> program_addresses(const TxCore& core) {
  std::vector<std::string> out;
  for (const TxProgram& p : core.programs) out.push_back(p.address);
  return out;
}

// The arguments of decode and decode_tables.
struct DecodeArgs {
  PyObject* transactions = nullptr;
  bool include_failed = false;
  bool dedupe = true;
  std::size_t start = 0;  // the index of the first transaction (a file read in pieces counts on)
};

bool parse_decode_args(PyObject* args, PyObject* kwargs, const char* format, DecodeArgs& out) {
  static const char* kwlist[] = {"transactions", "include_failed", "dedupe", "start", nullptr};
  int include_failed = 0;
  int dedupe = 1;
  Py_ssize_t start = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &out.transactions,
                                   &include_failed, &dedupe, &start)) {
    return false;
  }
  if (start < 0) {
    PyErr_SetString(PyExc_ValueError, "start must not be negative");
    return false;
  }
  out.include_failed = include_failed != 0;
  out.dedupe = dedupe != 0;
  out.start = static_cast<std::size_t>(start);
  return true;
}

// JSON text given as str or a bytes-like object; `text` stays valid while `holder` lives.
int json_text(PyObject* obj, std::string_view& text, Py_buffer& buffer, bool& has_buffer) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return -1;
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return 1;
  }
  if (PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj)) {
    if (PyObject_GetBuffer(obj, &buffer, PyBUF_SIMPLE) < 0) return -1;
    has_buffer = true;
    text = std::string_view(static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len));
    return 1;
  }
  return 0;
}

// Reads RPC JSON text, calling visit(view, index) for each transaction, with
// the interpreter lock released if asked. False with an error set.
template <class Visit>
bool read_text(std::string_view text, bool release_lock, Visit& visit) {
  tx::RpcJsonReader reader;
  tx::ReadResult result;
  if (release_lock) {
    ReleasedLock unlocked;
    result = reader.read(text, [&](const tx::TxView& view, std::size_t index) { visit(view, index); });
  } else {
    result = reader.read(text, [&](const tx::TxView& view, std::size_t index) { return visit(view, index); });
  }
  if (PyErr_Occurred()) return false;
  if (result.error) {
    raise_value_error("transactions: " + result.error->describe());
    return false;
  }
  return true;
}

// The transactions of the argument: visit(view, index) for each, from JSON
// text or from Python objects. False with an error set.
template <class Visit>
bool each_transaction(PyObject* transactions, bool release_lock, Visit&& visit) {
  std::string_view text;
  Py_buffer buffer{};
  bool has_buffer = false;
  const int is_text = json_text(transactions, text, buffer, has_buffer);
  if (is_text < 0) return false;
  struct Release {
    Py_buffer* b;
    bool on;
    ~Release() {
      if (on) PyBuffer_Release(b);
    }
  } release{&buffer, has_buffer};
  if (is_text == 1) return read_text(text, release_lock, visit);
  // Python objects: written as the JSON text they came from, and read as such.
  std::string dumped;
  if (!dump_json(transactions, dumped)) return false;
  return read_text(dumped, release_lock, visit);
}

PyRef optional_int(const std::optional<std::uint32_t>& v) {
  return v ? PyRef(PyLong_FromUnsignedLong(*v)) : PyRef(Py_NewRef(Py_None));
}

PyObject* tx_decoder_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    DecodeArgs a;
    if (!parse_decode_args(args, kwargs, "O|$ppn:decode", a)) return nullptr;
    const TxCore& core = core_of(self);
    PyTypeObject* tx_event = state_of(Py_TYPE(self)).tx_event;
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    tx::TxWalker walker(program_addresses(core));
    const bool ok = each_transaction(a.transactions, false, [&](const tx::TxView& view, std::size_t index) {
      if (view.failed && !a.include_failed) return true;
      const tx::WalkResult& walk = walker.walk(view, a.dedupe);
      PyRef tx_index, signature, slot, block_time, truncated;
      for (const tx::FoundEvent& e : walk.events) {
        const auto match = match_found(core.programs, e);
        if (!match) continue;
        const PyNames& names = core.names[e.program];
        PySink sink(names);
        WalkState state(match->body);
        PySink::Walk w(sink, state);
        PyRef fields = w.decode_fields(*match->layout->fields, {}, core.programs[e.program].schemas.options.null_short_events);
        if (!fields) {
          if (sink.aborted()) {
            sink.reraise();
            return false;
          }
          continue;
        }
        if (!tx_index) {  // made once per transaction that has an event
          tx_index = PyRef(PyLong_FromSize_t(a.start + index));
          signature = view.signature.empty() ? PyRef(Py_NewRef(Py_None)) : str_of(view.signature);
          slot = view.slot ? PyRef(PyLong_FromUnsignedLongLong(*view.slot)) : PyRef(Py_NewRef(Py_None));
          block_time = view.block_time ? PyRef(PyLong_FromLongLong(*view.block_time)) : PyRef(Py_NewRef(Py_None));
          truncated = PyRef(PyBool_FromLong(walk.truncated));
          if (!tx_index || !signature || !slot || !block_time) return false;
        }
        const std::size_t event = static_cast<std::size_t>(match->layout - core.programs[e.program].idl->events().data());
        PyRef instruction = optional_int(e.instruction), inner = optional_int(e.inner), depth = optional_int(e.depth);
        if (!instruction || !inner || !depth) return false;
        PyRef item(tx_event->tp_alloc(tx_event, 12));
        if (!item) return false;
        PyObject* values[] = {tx_index.new_ref(), signature.new_ref(), slot.new_ref(), block_time.new_ref(),
                              core.addresses[e.program].new_ref(), instruction.release(), inner.release(),
                              depth.release(), core.sources[static_cast<int>(e.source)].new_ref(), truncated.new_ref(),
                              Py_NewRef(names.event(event)), fields.release()};
        for (Py_ssize_t k = 0; k < 12; ++k) PyTuple_SET_ITEM(item.get(), k, values[k]);
        if (PyList_Append(result.get(), item.get()) < 0) return false;
      }
      return true;
    });
    if (!ok) return nullptr;
    return result.release();
  });
}

PyObject* tx_decoder_decode_tables(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    DecodeArgs a;
    if (!parse_decode_args(args, kwargs, "O|$ppn:decode_tables", a)) return nullptr;
    const TxCore& core = core_of(self);
    tx::TxWalker walker(program_addresses(core));
    TxTables tables(core.programs);
    std::size_t read = 0;
    const bool ok = each_transaction(a.transactions, true, [&](const tx::TxView& view, std::size_t index) {
      read = index + 1;
      if (view.failed && !a.include_failed) return true;
      tables.add(static_cast<std::int64_t>(a.start + index), view, walker.walk(view, a.dedupe));
      return true;
    });
    if (!ok) return nullptr;
    TxTables::Output out;
    {
      ReleasedLock unlocked;
      out = tables.finish();
    }
    std::vector<PyObject*> keys;
    std::vector<std::shared_ptr<const arrow::Table>> tables_in_order;
    for (std::size_t p = 0; p < out.events.size(); ++p) {
      for (std::size_t i = 0; i < out.events[p].size(); ++i) {
        keys.push_back(core.keys[p][i].get());
        tables_in_order.push_back(std::move(out.events[p][i]));
      }
    }
    return new_decoded_events(state_of(Py_TYPE(self)), keys, std::move(tables_in_order), std::move(out.errors),
                              static_cast<std::int64_t>(read));
  });
}

PyObject* tx_decoder_count(PyObject*, PyObject* transactions) {
  return guard([&]() -> PyObject* {
    std::size_t read = 0;
    const bool ok = each_transaction(transactions, true, [&](const tx::TxView&, std::size_t index) {
      read = index + 1;
      return true;
    });
    if (!ok) return nullptr;
    return PyLong_FromSize_t(read);
  });
}

PyObject* tx_decoder_schema(PyObject* self, PyObject* key) {
  return guard([&]() -> PyObject* {
    const TxCore& core = core_of(self);
    for (std::size_t p = 0; p < core.keys.size(); ++p) {
      for (std::size_t i = 0; i < core.keys[p].size(); ++i) {
        const int equal = PyObject_RichCompareBool(core.keys[p][i].get(), key, Py_EQ);
        if (equal < 0) return nullptr;
        if (equal == 0) continue;
        std::vector<arrow::Field> fields = tx_context();
        const auto& columns = core.programs[p].schemas.events[i].fields.type.children;
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
     METH_VARARGS | METH_KEYWORDS,
     "decode($self, transactions, *, include_failed=False, dedupe=True, start=0)\n--\n\n"
     "Every event of the transactions, each decoded with its own program's IDL.\n\n"
     "`transactions`: getTransaction or getBlock results, RPC responses, or\n"
     "sequences of these, as Python objects or as JSON text (str or bytes: one\n"
     "value, an array, or JSON lines). Returns a list of TxEvent in transaction\n"
     "order and, within one, in execution order; `tx` counts from `start`."},
    {"decode_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx_decoder_decode_tables)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_tables($self, transactions, *, include_failed=False, dedupe=True, start=0)\n--\n\n"
     "The same events as Arrow tables, one per (program, event): a DecodedEvents,\n"
     "whose `inputs` is the number of transactions read."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tx_decoder_getset[] = {
    {"programs", tx_decoder_programs, nullptr, "The programs' addresses, one per IDL, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tx_decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TransactionDecoder(idls, *, addresses=None, pubkeys='base58', wide_ints='decimal', "
                    "short_events='skip')\n--\n\n"
                    "Decodes the events of whole transactions, each with the IDL of the program that\n"
                    "emitted it: log lines under the program's invocation and self-CPI events.")},
    {Py_tp_new, reinterpret_cast<void*>(tx_decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tx_decoder_dealloc)},
    {Py_tp_methods, tx_decoder_methods},
    {Py_tp_getset, tx_decoder_getset},
    {0, nullptr},
};

PyType_Spec tx_decoder_spec = {"brisquel.TransactionDecoder", sizeof(TxDecoderObject), 0, Py_TPFLAGS_DEFAULT,
                               tx_decoder_slots};

}  // namespace

PyTypeObject* create_transaction_decoder_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &tx_decoder_spec, nullptr));
}

}  // namespace brisquel::tables
