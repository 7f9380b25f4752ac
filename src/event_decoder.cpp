#include "src/event_decoder.hpp"

#include <memory>
#include <vector>

#include "src/arguments.hpp"
#include "src/decoder.hpp"
#include "src/log_batch.hpp"
#include "src/panic.hpp"
#include "src/parse_logs.hpp"

namespace brisquel {
namespace {

// The instance: a fixed-size object holding the prepared decoder. It never
// changes after construction, so threads share it without a lock.
struct DecoderObject {
  PyObject_HEAD
  Decoder* decoder;
};

const Decoder& decoder_of(PyObject* self) { return *reinterpret_cast<DecoderObject*>(self)->decoder; }

constexpr const char* kNewParams[] = {"idl_json"};
constexpr Signature kNewSignature{"EventDecoder.__new__()", kNewParams};

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* idl_json = nullptr;
    std::vector<PyRef> held;
    if (!bind_tuple_dict(kNewSignature, args, kwargs, &idl_json, held)) return nullptr;
    if (!PyUnicode_Check(idl_json)) {
      raise_not_instance("idl_json", idl_json, "str");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(idl_json, &size);
    if (text == nullptr) return nullptr;  // UnicodeEncodeError passes unchanged

    std::unique_ptr<Decoder> decoder = load_decoder(std::string_view(text, static_cast<std::size_t>(size)));
    if (!decoder) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<DecoderObject*>(self)->decoder = decoder.release();
    return self;
  });
}

void decoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<DecoderObject*>(self)->decoder;
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kParseParams[] = {"logs"};
constexpr Signature kParseSignature{"EventDecoder.parse_logs()", kParseParams};

PyObject* decoder_parse_logs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* logs = nullptr;
    if (!bind_vectorcall(kParseSignature, args, nargs, kwnames, &logs)) return nullptr;
    const Decoder& decoder = decoder_of(self);
    LogBatch batch;
    const auto use = decoder.idl->has_256_bit() ? LogBatch::Use::LockedRunningPython : LogBatch::Use::Locked;
    if (!batch.convert(logs, use)) return nullptr;
    return parse_lines(decoder, batch);
  });
}

PyObject* decoder_event_names(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    const Decoder& decoder = decoder_of(self);
    const std::size_t n = decoder.idl->events().size();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(decoder.names.event(i)));
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
