// TableDecoder: log lines (Python strings, lists of them, or Arrow arrays)
// into one Arrow table per event, decoded with the interpreter lock released.
#include <memory>
#include <string>
#include <vector>

#include "core/line_tables.hpp"
#include "src/arguments.hpp"
#include "src/decoder.hpp"
#include "src/log_batch.hpp"
#include "src/panic.hpp"
#include "src/tables/arrow_objects.hpp"
#include "src/tables/options.hpp"

namespace brisquel::tables {
namespace {

// What a TableDecoder keeps: immutable after construction, shared by threads.
struct TableCore {
  std::unique_ptr<const CompiledIdl> idl;
  TableSchemas schemas;
  std::vector<PyRef> keys;   // str per event key ("Name", "Name#2")
  std::vector<PyRef> names;  // str per event name
};

struct TableDecoderObject {
  PyObject_HEAD
  TableCore* core;
};

const TableCore& core_of(PyObject* self) { return *reinterpret_cast<TableDecoderObject*>(self)->core; }

PyObject* table_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"idl_json", "pubkeys", "wide_ints", "short_events", nullptr};
    PyObject* idl_json = nullptr;
    PyObject* pubkeys = nullptr;
    PyObject* wide_ints = nullptr;
    PyObject* short_events = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:TableDecoder", const_cast<char**>(kwlist), &idl_json,
                                     &pubkeys, &wide_ints, &short_events)) {
      return nullptr;
    }
    TableOptions options;
    if (!parse_options(pubkeys, wide_ints, short_events, options)) return nullptr;
    auto text = idl_text(idl_json);
    if (!text) return nullptr;
    auto core = std::make_unique<TableCore>();
    core->idl = compile_idl(*text);
    if (!core->idl) return nullptr;
    auto schemas = TableSchemas::make(*core->idl, options, kLineContextNames);
    if (!schemas) {
      raise_value_error(schemas.error());
      return nullptr;
    }
    core->schemas = std::move(*schemas);
    for (const auto& key : core->schemas.keys) {
      core->keys.emplace_back(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
      if (!core->keys.back()) return nullptr;
    }
    for (const auto& e : core->idl->events()) {
      core->names.emplace_back(PyUnicode_DecodeUTF8(e.name.data(), static_cast<Py_ssize_t>(e.name.size()), "replace"));
      if (!core->names.back()) return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<TableDecoderObject*>(self)->core = core.release();
    return self;
  });
}

void table_decoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TableDecoderObject*>(self)->core;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* table_decoder_event_names(PyObject* self, void*) {
  const auto& names = core_of(self).names;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), names[i].new_ref());
  return list;
}

// The index of the event whose key is `key`, or -1 with KeyError set.
Py_ssize_t event_index(const TableCore& core, PyObject* key) {
  for (std::size_t i = 0; i < core.keys.size(); ++i) {
    const int equal = PyObject_RichCompareBool(core.keys[i].get(), key, Py_EQ);
    if (equal < 0) return -1;
    if (equal == 1) return static_cast<Py_ssize_t>(i);
  }
  PyErr_SetObject(PyExc_KeyError, key);
  return -1;
}

PyObject* table_decoder_schema(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"name", "nested", nullptr};
    PyObject* name = nullptr;
    int nested = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:schema", const_cast<char**>(kwlist), &name, &nested)) {
      return nullptr;
    }
    const TableCore& core = core_of(self);
    const Py_ssize_t i = event_index(core, name);
    if (i < 0) return nullptr;
    std::vector<arrow::Field> fields = line_context(nested != 0);
    const auto& columns = core.schemas.events[static_cast<std::size_t>(i)].fields.type.children;
    fields.insert(fields.end(), columns.begin(), columns.end());
    return new_schema(state_of(Py_TYPE(self)), std::move(fields));
  });
}

// The Python objects of one call's tables.
PyObject* decoded_events(PyObject* self, const TableCore& core, DecodedTables&& out, std::size_t inputs) {
  std::vector<PyObject*> keys;
  for (const PyRef& key : core.keys) keys.push_back(key.get());
  return new_decoded_events(state_of(Py_TYPE(self)), keys, std::move(out.events), std::move(out.errors),
                            static_cast<std::int64_t>(inputs));
}

// Whether a batch is a sequence of sequences of lines: its first item is a
// sequence but neither text nor bytes (bytes items are refused later, as
// parse_logs refuses them).
int is_nested(PyObject* logs, bool& nested) {
  PyRef first;
  if (PyList_CheckExact(logs) || PyTuple_CheckExact(logs)) {
    Py_BEGIN_CRITICAL_SECTION(logs);
    if (PySequence_Fast_GET_SIZE(logs) > 0) first = PyRef::borrow(PySequence_Fast_ITEMS(logs)[0]);
    Py_END_CRITICAL_SECTION();
  } else {
    first = PyRef(PySequence_GetItem(logs, 0));
    if (!first) {
      if (!PyErr_ExceptionMatches(PyExc_IndexError)) {
        prefix_argument_error("logs");
        return -1;
      }
      PyErr_Clear();
    }
  }
  PyObject* f = first.get();
  nested = f != nullptr && !PyUnicode_Check(f) && !PyBytes_Check(f) && !PyByteArray_Check(f) && PySequence_Check(f);
  return 0;
}

constexpr const char* kDecodeParams[] = {"logs"};
constexpr Signature kDecodeSignature{"TableDecoder.decode()", kDecodeParams};

PyObject* table_decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* logs = nullptr;
    if (!bind_vectorcall(kDecodeSignature, args, nargs, kwnames, &logs)) return nullptr;
    const TableCore& core = core_of(self);
    ArrowLines arrow_lines;
    const int arrow = arrow_lines.read(logs);
    if (arrow < 0) return nullptr;
    if (arrow == 1) {
      DecodedTables out;
      {
        ReleasedLock unlocked;
        LineTables tables(*core.idl, core.schemas, arrow_lines.nested());
        arrow_lines.for_each([&](std::int64_t row, std::int64_t line, std::string_view text) {
          tables.add(row, line, text);
        });
        out = tables.finish();
      }
      return decoded_events(self, core, std::move(out), arrow_lines.length());
    }
    if (!check_sequence_argument(logs)) return nullptr;
    bool nested = false;
    if (is_nested(logs, nested) < 0) return nullptr;
    std::vector<LogBatch> rows;
    if (nested) {
      auto reserve = [&](std::size_t n) { rows.reserve(n); };
      std::vector<PyRef> held;  // the rows themselves, so their items stay where they are
      if (!for_each_item(logs, reserve, [&](PyRef row) {
            rows.emplace_back();
            held.push_back(std::move(row));
            return rows.back().convert(held.back().get(), LogBatch::Use::Unlocked);
          })) {
        return nullptr;
      }
      DecodedTables out;
      {
        ReleasedLock unlocked;
        LineTables tables(*core.idl, core.schemas, true);
        for (std::size_t r = 0; r < rows.size(); ++r) {
          for (std::size_t j = 0; j < rows[r].size(); ++j) {
            tables.add(static_cast<std::int64_t>(r), static_cast<std::int64_t>(j), rows[r][j]);
          }
        }
        out = tables.finish();
      }
      return decoded_events(self, core, std::move(out), rows.size());
    }
    LogBatch batch;
    if (!batch.convert(logs, LogBatch::Use::Unlocked)) return nullptr;
    DecodedTables out;
    {
      ReleasedLock unlocked;
      LineTables tables(*core.idl, core.schemas, false);
      for (std::size_t i = 0; i < batch.size(); ++i) tables.add(0, static_cast<std::int64_t>(i), batch[i]);
      out = tables.finish();
    }
    return decoded_events(self, core, std::move(out), batch.size());
  });
}

PyMethodDef table_decoder_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_decoder_decode)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode($self, logs)\n--\n\n"
     "Decode a batch into one Arrow table per event.\n\n"
     "`logs` is a sequence of str (as parse_logs takes it), a sequence of such\n"
     "sequences (one per transaction), or an Arrow array or stream of strings or\n"
     "of lists of strings. Returns a DecodedEvents."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_decoder_schema)),
     METH_VARARGS | METH_KEYWORDS,
     "schema($self, name, *, nested=False)\n--\n\n"
     "The Arrow schema of an event's table (context columns for flat input, or\n"
     "for nested input with nested=True)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_decoder_getset[] = {
    {"event_names", table_decoder_event_names, nullptr,
     "Names of all events declared in the IDL, in declaration order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "TableDecoder(idl_json, *, pubkeys='base58', wide_ints='decimal', short_events='skip')\n--\n\n"
                    "Decodes Anchor program events from log lines into Arrow tables, one per event.")},
    {Py_tp_new, reinterpret_cast<void*>(table_decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_decoder_dealloc)},
    {Py_tp_methods, table_decoder_methods},
    {Py_tp_getset, table_decoder_getset},
    {0, nullptr},
};

PyType_Spec table_decoder_spec = {"brisquel.TableDecoder", sizeof(TableDecoderObject), 0, Py_TPFLAGS_DEFAULT,
                                  table_decoder_slots};

}  // namespace

PyTypeObject* create_table_decoder_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &table_decoder_spec, nullptr));
}

}  // namespace brisquel::tables
