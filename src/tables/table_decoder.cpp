// TableDecoder: log lines (Python strings, lists of them, or Arrow arrays)
// into one Arrow table per event, decoded with the interpreter lock released.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core/line_tables.hpp"
#include "src/arguments.hpp"
#include "src/decoder.hpp"
#include "src/log_batch.hpp"
#include "src/tables/binding.hpp"
#include "src/parse_logs.hpp"
#include "src/tables/arrow_input.hpp"
#include "src/tables/decoded_events.hpp"
#include "src/tables/errors.hpp"
#include "src/tables/fields_maker.hpp"
#include "src/tables/json_input.hpp"
#include "src/tables/options.hpp"
#include "src/tables/program_idls.hpp"
#include "src/tables/schema.hpp"
#include "src/values.hpp"

namespace brisquel::tables {
namespace {

// What a TableDecoder holds: immutable after construction, shared by threads.
struct TableDecoder {
  std::unique_ptr<const CompiledIdl> idl;
  TableSchemas schemas;
  std::vector<PyRef> keys;   // str per event key ("Name", "Name#2")
  std::vector<PyRef> names;  // str per event name
  PyNames values;            // what parse_logs makes its values with
};

using TableDecoderType = TablesType<TableDecoder>;

constexpr Parameter kNewParams[] = {required("idl_json"), keyword("pubkeys"), keyword("wide_ints"),
                                    keyword("short_events")};
constexpr Signature kNewSignature{"TableDecoder.__new__()", kNewParams};

PyObject* table_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return tables_guard(type, [&]() -> PyObject* {
    Arguments<4> a;
    if (!a.bind(kNewSignature, args, kwargs)) return nullptr;
    // Most events on chain are older, shorter versions of their program's
    // current layout: they decode unless the caller says otherwise.
    TableOptions options;
    options.null_short_events = true;
    if (!parse_options(a[1], a[2], a[3], options)) return nullptr;
    auto text = idl_text(a[0]);
    if (!text) return nullptr;
    const State& state = state_of(type);
    auto compiled = compile_idl(*text);
    if (!compiled) {
      raise_idl_error(state, Error(Error::Kind::Idl, idl_failure(*text, compiled.error())), std::nullopt);
      return nullptr;
    }
    TableDecoder decoder;
    decoder.idl = std::move(*compiled);
    auto schemas = TableSchemas::make(*decoder.idl, options, kLineContextNames);
    if (!schemas) {
      raise_idl_error(state, Error(Error::Kind::Idl, std::move(schemas.error())), std::nullopt);
      return nullptr;
    }
    decoder.schemas = std::move(*schemas);
    for (const auto& key : decoder.schemas.keys) {
      decoder.keys.push_back(str_of(key));
      if (!decoder.keys.back()) return nullptr;
    }
    for (const auto& e : decoder.idl->events()) {
      decoder.names.push_back(str_of(e.name));
      if (!decoder.names.back()) return nullptr;
    }
    if (!decoder.values.build(*decoder.idl)) return nullptr;
    return TableDecoderType::create(type, std::move(decoder));
  });
}

PyObject* table_decoder_event_names(PyObject* self, void*) {
  return TableDecoderType::call(self, [](const TableDecoder& d) { return new_list(d.names); });
}

// The index of the event whose key is `key`; nullopt with KeyError (or the
// comparison's error) set.
std::optional<std::size_t> event_index(const TableDecoder& d, PyObject* key) {
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    const int equal = PyObject_RichCompareBool(d.keys[i].get(), key, Py_EQ);
    if (equal < 0) return std::nullopt;
    if (equal == 1) return i;
  }
  PyErr_SetObject(PyExc_KeyError, key);
  return std::nullopt;
}

constexpr Parameter kSchemaParams[] = {required("name"), keyword("nested")};
constexpr Signature kSchemaSignature{"TableDecoder.schema()", kSchemaParams};

PyObject* table_decoder_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TableDecoderType::call(self, [&](const TableDecoder& d) -> PyObject* {
    Arguments<2> a;
    if (!a.bind(kSchemaSignature, args, nargs, kwnames)) return nullptr;
    const auto nested = flag_argument(a[1], false);
    if (!nested) return nullptr;
    const auto i = event_index(d, a[0]);
    if (!i) return nullptr;
    std::vector<arrow::Field> fields = line_context(*nested);
    const auto& columns = d.schemas.events[*i].fields.type.children;
    fields.insert(fields.end(), columns.begin(), columns.end());
    return new_schema(state_of(Py_TYPE(self)), std::move(fields));
  });
}

// Whether a batch is a sequence of sequences of lines: its first item is a
// sequence but neither text nor bytes (bytes items are refused later, as
// parse_logs refuses them). Nullopt with the argument's error set.
std::optional<bool> is_nested(PyObject* logs) {
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
        return std::nullopt;
      }
      PyErr_Clear();
    }
  }
  PyObject* f = first.get();
  return f != nullptr && !PyUnicode_Check(f) && !PyBytes_Check(f) && !PyByteArray_Check(f) && PySequence_Check(f);
}

// Decodes with the interpreter lock released: add(tables, unlocked) feeds
// every line.
template <class AddLines>
PyObject* decode_unlocked(PyObject* self, const TableDecoder& d, bool nested, std::size_t inputs, AddLines&& add) {
  DecodedTables out;
  {
    ReleasedLock unlocked;
    LineTables tables(*d.idl, d.schemas, nested);
    add(tables, unlocked);
    out = tables.finish();
  }
  std::vector<PyObject*> keys;
  for (const PyRef& key : d.keys) keys.push_back(key.get());
  return new_decoded_events(state_of(Py_TYPE(self)), keys, std::move(out.events), std::move(out.errors),
                            static_cast<std::int64_t>(inputs));
}

// Lines between two moments with the lock (a few hundred KiB of text: what a
// core's own cache holds).
constexpr std::size_t kLetGoEvery = 4096;

constexpr Parameter kDecodeParams[] = {required("logs")};
constexpr Signature kDecodeSignature{"TableDecoder.decode()", kDecodeParams};

PyObject* table_decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TableDecoderType::call(self, [&](const TableDecoder& d) -> PyObject* {
    Arguments<1> a;
    if (!a.bind(kDecodeSignature, args, nargs, kwnames)) return nullptr;
    PyObject* logs = a[0];
    ArrowLines arrow_lines;
    switch (arrow_lines.read(logs, state_of(Py_TYPE(self)))) {
      case ArrowLines::Read::Failed: return nullptr;
      case ArrowLines::Read::Done:
        return decode_unlocked(self, d, arrow_lines.nested(), arrow_lines.length(), [&](LineTables& tables, auto&) {
          arrow_lines.for_each(
              [&](std::int64_t row, std::int64_t line, std::string_view text) { tables.add(row, line, text); });
        });
      case ArrowLines::Read::NotArrow: break;
    }
    if (!check_sequence_argument(logs)) return nullptr;
    const auto nested = is_nested(logs);
    if (!nested) return nullptr;
    if (*nested) {
      std::vector<LogBatch> rows;
      std::vector<PyRef> held;  // the rows themselves, so their items stay where they are
      auto reserve = [&](std::size_t n) { rows.reserve(n); };
      if (!for_each_item(logs, reserve, [&](PyRef row) {
            rows.emplace_back();
            held.push_back(std::move(row));
            return rows.back().convert(held.back().get(), LogBatch::Use::Unlocked);
          })) {
        return nullptr;
      }
      return decode_unlocked(self, d, true, rows.size(), [&](LineTables& tables, auto&) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
          for (std::size_t j = 0; j < rows[r].size(); ++j) {
            tables.add(static_cast<std::int64_t>(r), static_cast<std::int64_t>(j), rows[r][j]);
          }
        }
      });
    }
    LogBatch batch;
    if (!batch.convert(logs, LogBatch::Use::Unlocked)) return nullptr;
    return decode_unlocked(self, d, false, batch.size(), [&](LineTables& tables, ReleasedLock& unlocked) {
      // A held list is let go of a piece at a time, each piece while it is
      // still in the cache: at the end, the pass would hold the interpreter
      // lock for a memory wait per item, and another thread would wait too.
      const std::size_t step = batch.holds_items() ? kLetGoEvery : batch.size();
      for (std::size_t from = 0; from < batch.size(); from += step) {
        const std::size_t to = std::min(batch.size(), from + step);
        for (std::size_t i = from; i < to; ++i) {
          batch.prefetch(i + 16);
          batch.prefetch_text(i + 4);
          tables.add(0, static_cast<std::int64_t>(i), batch[i]);
        }
        if (to < batch.size() && step != batch.size()) unlocked.relocked([&] { batch.let_go_before(to); });
      }
    });
  });
}

constexpr Parameter kParseParams[] = {required("logs"), keyword("json_fields")};
constexpr Signature kParseSignature{"TableDecoder.parse_logs()", kParseParams};

PyObject* table_decoder_parse_logs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TableDecoderType::call(self, [&](const TableDecoder& d) -> PyObject* {
    Arguments<2> a;
    if (!a.bind(kParseSignature, args, nargs, kwnames)) return nullptr;
    const auto json_fields = flag_argument(a[1], false);
    if (!json_fields) return nullptr;
    LogBatch batch;
    const auto use = d.idl->has_256_bit() ? LogBatch::Use::LockedRunningPython : LogBatch::Use::Locked;
    if (!batch.convert(a[0], use, LogBatch::Gather::EventPayloads)) return nullptr;
    if (*json_fields) return parse_lines_json(*d.idl, d.values, batch, d.schemas.options.null_short_events);
    return parse_lines(*d.idl, d.values, batch, d.schemas.options.null_short_events);
  });
}

// The (name, fields) pairs of the event lines added, as parse_logs makes
// them, and what became of the lines: how many, the event bodies that did not
// decode and, of those, the older versions short_events="null" decodes.
class CountedEvents {
 public:
  CountedEvents(const TableDecoder& d, PyObject* out, bool json_fields) : d_(d), out_(out), fields_(json_fields) {}

  // False with the error set.
  bool add(std::string_view line) {
    ++lines;
    const auto match = match_event_line(*d_.idl, line, buffer_, kPythonValuesSimd);
    if (!match) return true;
    const bool may_end = d_.schemas.options.null_short_events;
    PyRef fields = fields_.make(d_.values, [&](auto& sink) {
      state_.restart(match->body);
      typename std::remove_reference_t<decltype(sink)>::Walk walk(sink, state_);
      return walk.decode_fields(*match->layout->fields, {}, may_end);
    });
    if (!fields) {
      if (fields_.raised()) return false;
      ++not_decoded;
      if (!may_end && older_event_version(*match->layout, match->body)) ++short_bodies;
      return true;
    }
    PyRef pair(PyTuple_Pack(2, d_.values.event(match->layout - d_.idl->events().data()), fields.get()));
    return pair && PyList_Append(out_, pair.get()) == 0;
  }

  std::uint64_t lines = 0;
  std::uint64_t not_decoded = 0;
  std::uint64_t short_bodies = 0;

 private:
  const TableDecoder& d_;
  PyObject* out_;
  FieldsMaker fields_;
  PayloadBuffer buffer_;
  WalkState state_{std::span<const std::uint8_t>{}};  // one for every line, restarted
};

constexpr Signature kParseCountedSignature{"TableDecoder.parse_logs_counted()", kParseParams};

// parse_logs' events and what became of every line, from one reading of the
// lines: what the plain command prints and says at its end. A bytes-like
// `logs` is RPC JSON text, whose transactions' log lines are read (failed
// ones too), as are log-line strings and arrays of them in an array, and
// objects holding `logMessages` themselves.
PyObject* table_decoder_parse_logs_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return TableDecoderType::call(self, [&](const TableDecoder& d) -> PyObject* {
    Arguments<2> a;
    if (!a.bind(kParseCountedSignature, args, nargs, kwnames)) return nullptr;
    const auto json_fields = flag_argument(a[1], false);
    if (!json_fields) return nullptr;
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    CountedEvents events(d, result.get(), *json_fields);
    PyObject* logs = a[0];
    if (PyBytes_Check(logs) || PyByteArray_Check(logs) || PyMemoryView_Check(logs)) {
      const State& state = state_of(Py_TYPE(self));
      JsonInput input;
      if (!input.open(state, logs)) return nullptr;
      tx::RpcJsonReader reader;
      reader.accept_log_lines();
      auto visit = [&](const tx::TxView& view, std::size_t) {
        for (const std::string_view line : view.logs) {
          if (!events.add(line)) return false;
        }
        return true;
      };
      if (!read_with(state, reader, "logs", input.text(), false, visit)) return nullptr;
    } else {
      LogBatch batch;
      const auto use = d.idl->has_256_bit() ? LogBatch::Use::LockedRunningPython : LogBatch::Use::Locked;
      if (!batch.convert(logs, use)) return nullptr;
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (!events.add(batch[i])) return nullptr;
      }
    }
    using Count = unsigned long long;
    PyRef counts(Py_BuildValue("{s:K,s:K,s:K}", "lines", static_cast<Count>(events.lines), "not_decoded",
                               static_cast<Count>(events.not_decoded), "short",
                               static_cast<Count>(events.short_bodies)));
    if (!counts) return nullptr;
    return PyTuple_Pack(2, result.get(), counts.get());
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
    {"parse_logs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_decoder_parse_logs)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_logs($self, logs, *, json_fields=False)\n--\n\n"
     "(name, fields) for every line of a batch (a sequence of str) that decodes as\n"
     "an event, as EventDecoder.parse_logs makes them, with this decoder's\n"
     "short_events: by default an older, shorter body decodes, its missing\n"
     "fields None. Lines that do not decode are skipped. json_fields=True: fields\n"
     "as JSON text, as the command line writes them."},
    {"parse_logs_counted",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_decoder_parse_logs_counted)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_logs_counted($self, logs, *, json_fields=False)\n--\n\n"
     "parse_logs' (name, fields) pairs and what became of the lines, from one\n"
     "reading: (events, counts). `logs` is a sequence of str, as parse_logs takes\n"
     "it, or a bytes-like object of RPC JSON text (transactions, blocks, RPC\n"
     "responses, arrays or JSON lines of them; also log-line strings and arrays of\n"
     "them in an array, and objects holding `logMessages` themselves), whose log\n"
     "lines are read, failed transactions' too. `counts`: `lines` (log lines read), `not_decoded` (event\n"
     "bodies that did not decode: the rows of decode's errors) and `short` (of\n"
     "those, older versions that short_events='null' decodes; 0 with it).\n"
     "Raises ReadError for JSON text that cannot be read."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_decoder_schema)),
     METH_FASTCALL | METH_KEYWORDS,
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
                    "TableDecoder(idl_json, *, pubkeys='base58', wide_ints='decimal', short_events='null')\n--\n\n"
                    "Decodes Anchor program events from log lines into Arrow tables, one per event.\n"
                    "Raises IdlError for an IDL that cannot be used.")},
    {Py_tp_new, reinterpret_cast<void*>(table_decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TableDecoderType::dealloc)},
    {Py_tp_methods, table_decoder_methods},
    {Py_tp_getset, table_decoder_getset},
    {0, nullptr},
};

PyType_Spec table_decoder_spec = TableDecoderType::spec("brisquel.TableDecoder", table_decoder_slots);

}  // namespace

PyTypeObject* create_table_decoder_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &table_decoder_spec, nullptr));
}

}  // namespace brisquel::tables
