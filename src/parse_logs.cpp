#include "src/parse_logs.hpp"

#include <array>
#include <cstring>
#include <memory>

#include "src/borsh_decoder.hpp"
#include "codec/base64.hpp"
#include "codec/log_line.hpp"
#include "src/values.hpp"

namespace brisquel {
namespace {

// The decoded payload of one line at a time. Small payloads stay on the stack;
// a larger one grows a heap buffer that the rest of the batch reuses. It is
// private to the call: decoding may run Python code (256-bit integers) that
// re-enters parse_logs on this thread.
class PayloadBuffer {
 public:
  std::uint8_t* reserve(std::size_t n) {
    if (n <= stack_.size()) return stack_.data();
    if (n > heap_size_) {
      heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(n);
      heap_size_ = n;
    }
    return heap_.get();
  }

 private:
  std::array<std::uint8_t, 2048> stack_;
  std::unique_ptr<std::uint8_t[]> heap_;
  std::size_t heap_size_ = 0;
};

}  // namespace

Result<PyRef> decode_event_body(const EventLayout& layout, std::span<const std::uint8_t> body) {
  BorshDecoder decoder(body);
  return decoder.decode_fields(*layout.fields);
}

PyObject* parse_lines(const DecoderTables& tables, const LogBatch& lines) {
  PyRef result = made(PyList_New(0));
  PayloadBuffer buffer;
  for (std::size_t i = 0, n = lines.size(); i < n; ++i) {
    const auto text = codec::event_payload_text(lines[i]);
    if (!text) continue;
    std::uint8_t* payload = buffer.reserve(codec::base64_decoded_capacity(text->size()));
    const auto size = codec::decode_base64_strict(*text, payload);
    if (!size || *size < 8) continue;
    std::uint64_t disc;
    std::memcpy(&disc, payload, 8);
    const EventLayout* layout = tables.match(disc);
    if (layout == nullptr) continue;
    auto fields = decode_event_body(*layout, std::span<const std::uint8_t>(payload + 8, *size - 8));
    if (!fields) continue;
    PyRef pair = made(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, layout->name_object.new_ref());
    PyTuple_SET_ITEM(pair.get(), 1, fields->release());
    if (PyList_Append(result.get(), pair.get()) < 0) return nullptr;
  }
  return result.release();
}

}  // namespace brisquel
