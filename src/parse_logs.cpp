#include "src/parse_logs.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "core/event_lines.hpp"
#include "core/json_sink.hpp"
#include "src/python_sink.hpp"

namespace brisquel {
namespace {

// Payload texts lie all over the heap, each in its line's str.
constexpr std::size_t kAhead = 4;

std::optional<EventMatch> match_payload_text(const CompiledIdl& idl, std::string_view text, PayloadBuffer& buffer) {
  const auto payload = decode_event_payload(text, buffer, kPythonValuesSimd);
  if (!payload) return std::nullopt;
  return match_payload(idl, *payload);
}

}  // namespace

PyObject* parse_lines(const CompiledIdl& idl, const PyNames& names, const LogBatch& lines, bool short_as_null) {
  PyRef result = made(PyList_New(0));
  PayloadBuffer buffer;
  PySink sink(names);
  WalkState state(std::span<const std::uint8_t>{});
  const auto events = idl.events();
  const auto payloads = lines.event_payloads();
  for (std::size_t i = 0, n = payloads.size(); i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(payloads[i + kAhead].data(), 0, 3);
    const auto match = match_payload_text(idl, payloads[i], buffer);
    if (!match) continue;
    state.restart(match->body);
    PySink::Walk walk(sink, state);
    PyRef fields = walk.decode_fields(*match->layout->fields, {}, short_as_null);
    if (!fields) {
      if (sink.reraise_if_aborted()) [[unlikely]] return nullptr;
      continue;
    }
    PyRef pair = made(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(names.event(match->layout - events.data())));
    PyTuple_SET_ITEM(pair.get(), 1, fields.release());
    if (PyList_Append(result.get(), pair.get()) < 0) return nullptr;
  }
  return result.release();
}

PyObject* parse_lines_json(const CompiledIdl& idl, const PyNames& names, const LogBatch& lines, bool short_as_null) {
  PyRef result(PyList_New(0));
  if (!result) return nullptr;
  PayloadBuffer buffer;
  std::string text;
  WalkState state(std::span<const std::uint8_t>{});
  const auto events = idl.events();
  const auto payloads = lines.event_payloads();
  for (std::size_t i = 0, n = payloads.size(); i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(payloads[i + kAhead].data(), 0, 3);
    const auto match = match_payload_text(idl, payloads[i], buffer);
    if (!match) continue;
    text.clear();
    JsonSink sink(text);
    state.restart(match->body);
    JsonSink::Walk walk(sink, state);
    if (!walk.decode_fields(*match->layout->fields, {}, short_as_null)) continue;
    PyRef fields(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!fields) return nullptr;
    PyRef pair(PyTuple_Pack(2, names.event(match->layout - events.data()), fields.get()));
    if (!pair || PyList_Append(result.get(), pair.get()) < 0) return nullptr;
  }
  return result.release();
}

}  // namespace brisquel
