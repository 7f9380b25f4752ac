// The exceptions of brisquel._tables, made per module state so that each
// interpreter has its own classes:
// - ReadError(ValueError): a text of transactions that cannot be read, with
//   `input` (the argument's name), `kind`, `line`, `column` (1-based, bytes),
//   `offset` (bytes into the text), `resume_at` (JSON lines: the offset of the
//   next line, else None) and `reason` (the message without its position).
// - IdlError(ValueError): an IDL that cannot be used, with `index` (its place
//   in `idls`, None for a decoder of one IDL), `reason` (the message without
//   the "idls[N]: " prefix), `duplicate_of` (the index of an earlier IDL of
//   the same program, else None) and `program` (that program's address, else
//   None).
// str() of each is the message alone, the same text ValueError had before.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/tx/rpc_json.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// Creates both classes into the state and adds them to the module; false with the error set.
bool add_exceptions(PyObject* module, State& state);

// Raises ReadError for `error`, met reading argument `input`.
void raise_read_error(const State& state, const char* input, const tx::ReadError& error);

struct IdlFailure {
  std::optional<std::size_t> index;
  std::string_view reason;
  std::optional<std::size_t> duplicate_of = std::nullopt;
  std::string_view program = {};
};

// Raises IdlError: "idls[N]: reason", or the reason alone without an index
// (or for a duplicate, whose reason names both).
void raise_idl_error(const State& state, const IdlFailure& failure);

}  // namespace brisquel::tables
