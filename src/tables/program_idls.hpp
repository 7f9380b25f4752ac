// The IDLs of a decoder of several programs: each IDL's text, the address its
// program has (from the IDL, or from `addresses` by index or program name),
// and one IDL per program.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "idl/model.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// PyRef of a str made from UTF-8 text (bad bytes replaced).
PyRef str_of(std::string_view text);

// IDL number `index` (`item`, a str) loaded with its program's address;
// nullopt with IdlError (or the argument's TypeError) set. `earlier`: the
// addresses of the IDLs before it, which it must not repeat.
std::optional<idl::Idl> load_program_idl(const State& state, std::size_t index, PyObject* item,
                                         PyObject* addresses, std::span<const std::string> earlier);

// The entry of `mapping` (None or absent: none) for IDL number `index` of
// program `name`: by index first, then by name. False with the error set;
// else `found` is a new reference or nullptr.
bool idl_entry(PyObject* mapping, std::size_t index, const std::optional<std::string>& name, PyObject*& found);

// Whether `text` is a program address: base58 text of 32 bytes.
bool is_address(std::string_view text);

// Why IDL `text` did not load: the loader's `message`, or what the document
// is when it is a description of a program that we do not read.
std::string idl_failure(std::string_view text, std::string message);

// Checks that every key of `mapping` (the argument `param`; None or absent:
// none) names one of `idls` (a tuple of str): an index, or a program name one
// of them declares. False with ValueError (TypeError for a key of another
// type) set: a key that names nothing would otherwise be ignored.
bool check_idl_keys(PyObject* mapping, const char* param, PyObject* idls);

// Raises IdlError "idls[index]: reason".
void raise_idl_reason(const State& state, std::size_t index, std::string_view reason);

}  // namespace brisquel::tables
