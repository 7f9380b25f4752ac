// brisquel._brisquel_testing: hooks that let the tests see what the public
// module keeps to itself (the decoder's error texts, the value helpers, the
// panic path). Built only with -DBRISQUEL_TEST_HOOKS=ON; never installed by a
// plain `pip install .`.
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <simdjson.h>

#include "codec/base58.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/wire.hpp"
#include "src/decoder.hpp"
#include "src/panic.hpp"
#include "src/python_error.hpp"
#include "src/python_sink.hpp"
#include "src/values.hpp"

namespace brisquel::testing {
namespace {

PyObject* ok(PyRef value) { return Py_BuildValue("(sN)", "ok", value.release()); }

PyObject* error(const std::string& text) {
  return Py_BuildValue("(ss#)", "error", text.data(), static_cast<Py_ssize_t>(text.size()));
}

// decode_event(idl_json, event_name, body) -> ("ok", fields) | ("error", text)
PyObject* decode_event(PyObject*, PyObject* args) {
  const char* idl_text;
  Py_ssize_t idl_size;
  const char* name;
  Py_buffer body;
  if (!PyArg_ParseTuple(args, "s#sy*", &idl_text, &idl_size, &name, &body)) return nullptr;
  struct Release {
    Py_buffer* b;
    ~Release() { PyBuffer_Release(b); }
  } release{&body};
  return guard([&]() -> PyObject* {
    std::optional<Decoder> decoder = load_decoder(std::string_view(idl_text, static_cast<std::size_t>(idl_size)));
    if (!decoder) return nullptr;
    for (const auto& layout : decoder->idl->events()) {
      if (layout.name != name) continue;
      WalkState state(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(body.buf),
                                                    static_cast<std::size_t>(body.len)));
      PySink sink(decoder->names);
      PySink::Walk walk(sink, state);
      PyRef fields = walk.decode_fields(*layout.fields, {});
      if (fields) return ok(std::move(fields));
      if (sink.reraise_if_aborted()) return nullptr;
      if (state.error.kind == Error::Kind::Python) return error(python_error_text(sink.python_error()));
      return error(describe(state.error));
    }
    PyErr_Format(PyExc_KeyError, "no event named '%s'", name);
    return nullptr;
  });
}

// base58_pubkey(key: 32 bytes) -> str
PyObject* base58_pubkey(PyObject*, PyObject* arg) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return nullptr;
  if (size != 32) {
    PyErr_SetString(PyExc_ValueError, "a public key is 32 bytes");
    return nullptr;
  }
  return guard([&]() -> PyObject* {
    std::array<std::uint8_t, 32> key;
    std::memcpy(key.data(), data, 32);
    return py_pubkey(key).release();
  });
}

// pyint_from_le_bytes(raw: 32 bytes, signed: bool) -> ("ok", int) | ("error", text)
PyObject* int_from_le_bytes(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  int is_signed;
  if (!PyArg_ParseTuple(args, "y#p", &data, &size, &is_signed)) return nullptr;
  if (size != 32) {
    PyErr_SetString(PyExc_ValueError, "32 bytes expected");
    return nullptr;
  }
  return guard([&]() -> PyObject* {
    std::array<std::uint8_t, 32> raw;
    std::memcpy(raw.data(), data, 32);
    PyRef value = pyint_from_le_bytes(raw, is_signed != 0);
    if (value) return ok(std::move(value));
    PyRef exc = take_python_error();
    return error(python_error_text(exc.get()));
  });
}

// python_error_text(exc or None) -> str: the text of `exc` raised (None: nothing pending)
PyObject* error_text(PyObject*, PyObject* exc) {
  return guard([&]() -> PyObject* {
    if (exc != Py_None) PyErr_SetRaisedException(Py_NewRef(exc));
    PyRef taken = take_python_error();
    const std::string text = python_error_text(taken.get());
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// fail_creating_value(exc): takes the path of a value constructor that got
// nullptr from the interpreter with `exc` pending, while a list is half built
// as it is in the middle of decoding a sequence.
PyObject* fail_creating_value(PyObject*, PyObject* exc) {
  return guard([&]() -> PyObject* {
    PyRef half_built = made(PyList_New(4));  // its slots are still empty
    PyErr_SetRaisedException(Py_NewRef(exc));
    return made(nullptr).release();
  });
}

// hold_exit(seconds): once the process's static objects are destroyed (those
// made after this call first), it waits this long before it ends, as a slow
// exit does, while a daemon thread may still run.
PyObject* hold_exit(PyObject*, PyObject* seconds) {
  const double s = PyFloat_AsDouble(seconds);
  if (s == -1.0 && PyErr_Occurred()) return nullptr;
  struct Delay {
    double seconds;
    ~Delay() { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }
  };
  static Delay delay{s};
  Py_RETURN_NONE;
}

// fault(message): what an internal fault of the core reaches Python as.
PyObject* fault(PyObject*, PyObject* message) {
  return guard([&]() -> PyObject* {
    const char* text = PyUnicode_AsUTF8(message);
    if (text == nullptr) return nullptr;
    throw Fault(text);
  });
}

PyObject* optional_number(const auto& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*value);
}

PyObject* config_dict(const tx::TxConfig& c) {
  return Py_BuildValue("{sNsNsNsN}", "priority_fee", optional_number(c.priority_fee), "compute_unit_limit",
                       optional_number(c.compute_unit_limit), "loaded_accounts_data_size_limit",
                       optional_number(c.loaded_accounts_data_size_limit), "heap_size", optional_number(c.heap_size));
}

PyObject* bytes_of(std::span<const std::uint8_t> b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

// parse_wire(data: bytes) -> dict of what the wire format holds | error text
PyObject* parse_wire(PyObject*, PyObject* data) {
  char* buffer;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(data, &buffer, &size) < 0) return nullptr;
  tx::WireTransaction wire;
  if (auto e = tx::parse_wire_transaction(
          std::span(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(size)), wire)) {
    return PyUnicode_FromStringAndSize(e->data(), static_cast<Py_ssize_t>(e->size()));
  }
  PyRef signatures(PyList_New(0)), keys(PyList_New(0)), instructions(PyList_New(0));
  if (!signatures || !keys || !instructions) return nullptr;
  for (std::size_t i = 0; i < wire.signature_count; ++i) {
    PyRef s(bytes_of(wire.signature(i)));
    if (!s || PyList_Append(signatures.get(), s.get()) < 0) return nullptr;
  }
  for (std::size_t i = 0; i < wire.key_count; ++i) {
    PyRef k(bytes_of(wire.key(i)));
    if (!k || PyList_Append(keys.get(), k.get()) < 0) return nullptr;
  }
  for (const tx::WireInstruction& ix : wire.instructions) {
    PyRef item(Py_BuildValue("(iNN)", ix.program_index, bytes_of(ix.accounts), bytes_of(ix.data)));
    if (!item || PyList_Append(instructions.get(), item.get()) < 0) return nullptr;
  }
  PyObject* version = wire.version ? PyLong_FromLong(*wire.version) : Py_NewRef(Py_None);
  return Py_BuildValue("{sNs(iii)sNsNsNsNsNsi}", "version", version, "header", wire.required_signatures,
                       wire.readonly_signed, wire.readonly_unsigned, "signatures", signatures.release(), "keys",
                       keys.release(), "blockhash", bytes_of(wire.recent_blockhash), "instructions",
                       instructions.release(), "config", config_dict(wire.config), "lookups",
                       static_cast<int>(wire.lookup_count));
}

// read_transactions(text: str) -> [dict of each transaction as the reader gives it to the walks]
PyObject* read_transactions(PyObject*, PyObject* text) {
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return nullptr;
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  auto str = [](std::string_view v) -> PyObject* {
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
  };
  tx::RpcJsonReader reader({}, tx::ReadScope::kCalls);
  bool python_failed = false;
  const tx::ReadResult result =
      reader.read(std::string_view(utf8, static_cast<std::size_t>(size)), [&](const tx::TxView& v, std::size_t) {
        PyRef keys(PyList_New(0)), outer(PyList_New(0));
        if (!keys || !outer) return !(python_failed = true);
        for (std::string_view k : v.account_keys) {
          PyRef key(str(k));
          if (!key || PyList_Append(keys.get(), key.get()) < 0) return !(python_failed = true);
        }
        for (std::size_t i = 0; i < v.outer.size() && !v.problem; ++i) {
          const tx::InstructionData& d = v.outer[i].data;
          PyRef data;
          if (d.raw) {
            data = PyRef(bytes_of(d.bytes));
          } else {
            std::string decoded(codec::base58_decoded_capacity(d.text.size()), '\0');
            const auto n = codec::decode_base58(d.text, reinterpret_cast<std::uint8_t*>(decoded.data()));
            data = PyRef(n ? PyBytes_FromStringAndSize(decoded.data(), static_cast<Py_ssize_t>(*n))
                           : Py_NewRef(Py_None));
          }
          PyRef accounts(PyList_New(0));
          if (!data || !accounts) return !(python_failed = true);
          for (const tx::AccountRef& a : v.accounts_of(v.outer[i].accounts)) {
            PyRef address(str(a.address));
            if (!address || PyList_Append(accounts.get(), address.get()) < 0) return !(python_failed = true);
          }
          PyRef item(Py_BuildValue("(NNN)", str(v.outer_programs[i]), accounts.release(), data.release()));
          if (!item || PyList_Append(outer.get(), item.get()) < 0) return !(python_failed = true);
        }
        PyRef item(Py_BuildValue("{sNsNsNsNsNsNsO}", "problem", !v.problem ? Py_NewRef(Py_None) : str(v.problem.text),
                                 "version", v.version ? PyLong_FromLong(*v.version) : Py_NewRef(Py_None), "config",
                                 config_dict(v.config), "signature", str(v.signature), "keys", keys.release(), "outer",
                                 outer.release(), "failed", v.failed ? Py_True : Py_False));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return !(python_failed = true);
        return true;
      });
  if (python_failed) return nullptr;
  if (result.error) {
    const std::string d = describe_at(*result.error);
    PyErr_SetString(PyExc_ValueError, d.c_str());
    return nullptr;
  }
  return out.release();
}

// dom_parse_lines(data) -> int: each line of JSON lines text parsed into
// simdjson's DOM, the floor a reader of the same text is measured against
// (bench/calls.py); the number of values parsed.
PyObject* dom_parse_lines(PyObject*, PyObject* arg) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::size_t values = 0;
  bool failed = false;
  Py_BEGIN_ALLOW_THREADS
  static thread_local simdjson::dom::parser parser;
  const std::string_view text(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  for (std::size_t at = 0; at < text.size() && !failed;) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at) {
      simdjson::dom::element element;
      // In place where the text after the line is the padding simdjson reads past its end.
      const bool copy = text.size() - end < simdjson::SIMDJSON_PADDING;
      failed = parser.parse(text.data() + at, end - at, copy).get(element) != simdjson::SUCCESS;
      ++values;
    }
    at = end + 1;
  }
  Py_END_ALLOW_THREADS
  PyBuffer_Release(&view);
  if (failed) {
    PyErr_SetString(PyExc_ValueError, "not JSON lines");
    return nullptr;
  }
  return PyLong_FromSize_t(values);
}

PyMethodDef methods[] = {
    {"dom_parse_lines", dom_parse_lines, METH_O, "dom_parse_lines(data) -> int"},
    {"parse_wire", parse_wire, METH_O, "parse_wire(data)"},
    {"read_transactions", read_transactions, METH_O, "read_transactions(text)"},
    {"decode_event", decode_event, METH_VARARGS, "decode_event(idl_json, event_name, body)"},
    {"base58_pubkey", base58_pubkey, METH_O, "base58_pubkey(key)"},
    {"pyint_from_le_bytes", int_from_le_bytes, METH_VARARGS, "pyint_from_le_bytes(raw, signed)"},
    {"python_error_text", error_text, METH_O, "python_error_text(exc)"},
    {"fail_creating_value", fail_creating_value, METH_O, "fail_creating_value(exc)"},
    {"fault", fault, METH_O, "fault(message)"},
    {"hold_exit", hold_exit, METH_O, "hold_exit(seconds)"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* m) {
  if (PyModule_AddIntConstant(m, "MAX_TYPE_DEPTH", kMaxTypeDepth) < 0) return -1;
  if (PyModule_AddIntConstant(m, "MAX_ZERO_SIZED_ELEMENTS", kMaxZeroSizedElements) < 0) return -1;
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "_brisquel_testing", "Test-only hooks into the decoder.", 0, methods,
                   slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace brisquel::testing

PyMODINIT_FUNC PyInit__brisquel_testing() { return PyModuleDef_Init(&brisquel::testing::def); }
