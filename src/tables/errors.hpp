// The exceptions of brisquel._tables, one family made per module state so
// that each interpreter has its own classes:
// - Error(ValueError): every failure that input causes. `path` (a tuple of
//   field names and element indexes into the value, or None), `offset`,
//   `program` and `item` (the event, instruction or account type), each None
//   where unknown. str() is the message, then " at <path>" where there is one.
// - ReadError(Error): a text of transactions (or accounts) that cannot be
//   read, with `input` (the argument's name), `kind`, `line`, `column`
//   (1-based, bytes), `offset` (bytes into the text), `resume_at` (JSON lines:
//   the offset of the next line, else None) and `reason` (the message without
//   its position).
// - IdlError(Error): an IDL that cannot be used, with `index` (its place in
//   `idls`, None for a decoder of one IDL), `reason` (the message without the
//   "idls[N]: " prefix), `duplicate_of` (the index of an earlier IDL of the
//   same program, else None) and `program` (that program's address, else None).
// - DecodeError(Error): a value whose bytes do not decode, with `kind`,
//   `reason` (the message without the path) and the family's attributes.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/error.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// Creates the classes into the state and adds them to the module; false with the error set.
bool add_exceptions(PyObject* module, State& state);

// Raises ReadError for `error` (a reading kind), met reading argument
// `input`: "input: line L, column C: reason" unless `message` is given. One
// outside a text (Python objects, Arrow arrays) has line, column, offset and
// resume_at None.
void raise_read_error(const State& state, const char* input, const Error& error, std::string_view message = {});

// Raises IdlError for `error` (of kind Idl, its program when known) about
// idls[index]: "idls[N]: reason", or the reason alone without an index (or
// for a duplicate of idls[duplicate_of], whose reason names both).
void raise_idl_error(const State& state, const Error& error, std::optional<std::size_t> index,
                     std::optional<std::size_t> duplicate_of = std::nullopt);

// Raises DecodeError for a walk's `error` over a body of its `item` (an
// event, instruction or account type) of its `program`.
void raise_decode_error(const State& state, const Error& error);

// The path as Python gives it: a tuple of str and int, outermost first; None
// for an empty one. A new reference, or nullptr with the error set.
PyObject* path_tuple(const FieldPath& path);

// The boundary of every entry point: a plain ValueError (an argument's value,
// a failing Arrow producer) becomes brisquel.Error with the same message, the
// original as its cause. Returns `result` unchanged.
PyObject* in_family(const State& state, PyObject* result);

}  // namespace brisquel::tables
