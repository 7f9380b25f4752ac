// Transactions as JSON text (str or a bytes-like object) or as Python objects
// (json.loads' output), handed to the one reader of RPC JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/tx/rpc_json.hpp"
#include "src/py_ref.hpp"
#include "src/tables/errors.hpp"

namespace brisquel::tables {

// The text of a JSON argument while this lives: a str's UTF-8, or a
// bytes-like object's buffer, or Python objects written back as JSON text.
class JsonInput {
 public:
  JsonInput() = default;
  JsonInput(const JsonInput&) = delete;
  JsonInput& operator=(const JsonInput&) = delete;
  ~JsonInput() {
    if (has_buffer_) PyBuffer_Release(&buffer_);
  }

  // False with the error set (an object that is not JSON data, a str that is
  // not UTF-8). The caller holds `obj` while the text is used. Python objects
  // keep their balances only when `balances` (the balances table needs them).
  // ReadError (`state`'s) for objects nested deeper than text may be.
  bool open(const State& state, PyObject* obj, bool balances = false);
  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
  std::string dumped_;
  Py_buffer buffer_{};
  bool has_buffer_ = false;
};

// Reads the text, calling visit(view, index) for each transaction, with the
// interpreter lock released if asked (visit then touches no Python object).
// `scope`: kCalls reads the instructions too, which only calls need.
// False with the error set: ReadError for a text that cannot be read.
// `block_slot`: the slot of blocks that do not say theirs.
template <class Visit>
bool read_transactions(const State& state, std::string_view text, bool release_lock, Visit& visit,
                       tx::ReadScope scope = tx::ReadScope::kEvents, std::optional<std::uint64_t> block_slot = {});

// As read_transactions, with a reader the caller has set up; `input` names
// the argument in errors.
template <class Visit>
bool read_with(const State& state, tx::RpcJsonReader& reader, const char* input, std::string_view text,
               bool release_lock, Visit& visit) {
  tx::ReadResult result;
  if (release_lock) {
    ReleasedLock unlocked;
    result = reader.read(text, [&](const tx::TxView& view, std::size_t index) { visit(view, index); });
  } else {
    result = reader.read(text, [&](const tx::TxView& view, std::size_t index) { return visit(view, index); });
  }
  if (PyErr_Occurred()) return false;
  if (result.error) {
    raise_read_error(state, input, *result.error);
    return false;
  }
  return true;
}

template <class Visit>
bool read_transactions(const State& state, std::string_view text, bool release_lock, Visit& visit,
                       tx::ReadScope scope, std::optional<std::uint64_t> block_slot) {
  tx::RpcJsonReader reader({}, scope);
  reader.set_block_slot(block_slot);
  return read_with(state, reader, "transactions", text, release_lock, visit);
}

}  // namespace brisquel::tables
