#include "src/event_decoder.hpp"

#include <optional>

#include "src/arguments.hpp"
#include "src/decoder.hpp"
#include "src/log_batch.hpp"
#include "src/native_type.hpp"
#include "src/parse_logs.hpp"

namespace brisquel {
namespace {

// The instance holds the prepared decoder inline. It never changes after
// construction, so threads share it without a lock.
using EventDecoderType = NativeType<Decoder>;

constexpr Parameter kNewParams[] = {required("idl_json")};
constexpr Signature kNewSignature{"EventDecoder.__new__()", kNewParams};

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    Arguments<1> a;
    if (!a.bind(kNewSignature, args, kwargs)) return nullptr;
    PyObject* idl_json = a[0];
    if (!PyUnicode_Check(idl_json)) {
      raise_not_instance("idl_json", idl_json, "str");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(idl_json, &size);
    if (text == nullptr) return nullptr;  // UnicodeEncodeError passes unchanged
    std::optional<Decoder> decoder = load_decoder(std::string_view(text, static_cast<std::size_t>(size)));
    if (!decoder) return nullptr;
    return EventDecoderType::create(type, std::move(*decoder));
  });
}

constexpr Parameter kParseParams[] = {required("logs")};
constexpr Signature kParseSignature{"EventDecoder.parse_logs()", kParseParams};

PyObject* decoder_parse_logs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return EventDecoderType::call(self, [&](const Decoder& decoder) -> PyObject* {
    Arguments<1> a;
    if (!a.bind(kParseSignature, args, nargs, kwnames)) return nullptr;
    LogBatch batch;
    const auto use = decoder.idl->has_256_bit() ? LogBatch::Use::LockedRunningPython : LogBatch::Use::Locked;
    if (!batch.convert(a[0], use, LogBatch::Gather::EventPayloads)) return nullptr;
    return parse_lines(decoder, batch);
  });
}

PyObject* decoder_event_names(PyObject* self, void*) {
  return EventDecoderType::call(self, [&](const Decoder& decoder) -> PyObject* {
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
    {Py_tp_dealloc, reinterpret_cast<void*>(EventDecoderType::dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {0, nullptr},
};

// No subclasses, no dict, no weak references: a plain immutable object.
PyType_Spec decoder_spec = EventDecoderType::spec("builtins.EventDecoder", decoder_slots);

}  // namespace

PyObject* create_event_decoder_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &decoder_spec, nullptr);
}

}  // namespace brisquel
