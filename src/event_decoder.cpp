#include "src/event_decoder.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "idl/loader.hpp"
#include "src/arguments.hpp"
#include "src/decoder_tables.hpp"
#include "src/log_batch.hpp"
#include "src/panic.hpp"
#include "src/parse_logs.hpp"

namespace brisquel {
namespace {

// The instance: a fixed-size object holding the prepared tables. The tables
// never change after construction, so threads share them without a lock.
struct DecoderObject {
  PyObject_HEAD
  DecoderTables* tables;
};

DecoderTables& tables_of(PyObject* self) { return *reinterpret_cast<DecoderObject*>(self)->tables; }

void raise_value_error(const std::string& message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

constexpr const char* kNewParams[] = {"idl_json"};
constexpr Signature kNewSignature{"EventDecoder.__new__()", kNewParams};

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* idl_json = nullptr;
    if (!bind_tuple_dict(kNewSignature, args, kwargs, &idl_json)) return nullptr;
    if (!PyUnicode_Check(idl_json)) {
      raise_not_instance("idl_json", idl_json, "str");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(idl_json, &size);
    if (text == nullptr) return nullptr;  // UnicodeEncodeError passes unchanged

    auto idl = idl::convert_idl(std::string_view(text, static_cast<std::size_t>(size)));
    if (!idl) {
      raise_value_error("failed to parse IDL: " + idl.error());
      return nullptr;
    }
    std::unique_ptr<DecoderTables> tables;
    try {
      auto built = DecoderTables::build(*idl);
      if (!built) {
        raise_value_error(built.error());
        return nullptr;
      }
      tables = std::move(*built);
    } catch (const PythonErrorSet&) {
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<DecoderObject*>(self)->tables = tables.release();
    return self;
  });
}

void decoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<DecoderObject*>(self)->tables;
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kParseParams[] = {"logs"};
constexpr Signature kParseSignature{"EventDecoder.parse_logs()", kParseParams};

PyObject* decoder_parse_logs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* logs = nullptr;
    if (!bind_vectorcall(kParseSignature, args, nargs, kwnames, &logs)) return nullptr;
    const DecoderTables& tables = tables_of(self);
    LogBatch batch;
    if (!batch.convert(logs, tables.runs_python())) return nullptr;
    return parse_lines(tables, batch);
  });
}

PyObject* decoder_event_names(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    const auto events = tables_of(self).events();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < events.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), events[i].name_object.new_ref());
    }
    return list.release();
  });
}

PyMethodDef decoder_methods[] = {
    {"parse_logs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoder_parse_logs)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_logs($self, logs)\n--\n\n"
     "Decode every recognizable event from a batch of program log lines.\n\n"
     "Lines that are not events, fail to base64-decode, match no known\n"
     "discriminator, or fail to Borsh-decode are silently skipped. Never\n"
     "raises over a batch."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"event_names", decoder_event_names, nullptr,
     "Names of all events declared in the IDL, in declaration order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("EventDecoder(idl_json)\n--\n\n"
                                  "Decodes Anchor 0.30+ program events from Solana transaction log lines.")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {0, nullptr},
};

// No BASETYPE (no subclasses), no dict, no weak references: a plain
// immutable object.
PyType_Spec decoder_spec = {
    "builtins.EventDecoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    decoder_slots,
};

}  // namespace

PyObject* create_event_decoder_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &decoder_spec, nullptr);
}

}  // namespace brisquel
