// The IDLs of a decoder of several programs: each IDL's text, the address its
// program has (from the IDL, or from `addresses` by index or program name),
// and one IDL per program.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/compiled_idl.hpp"
#include "idl/model.hpp"
#include "src/tables/py_values.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

// One program of a decoder's IDLs, compiled.
struct CompiledProgram {
  std::string address;
  std::unique_ptr<const CompiledIdl> idl;
  std::size_t index = 0;  // the IDL it comes from
};

// What the caller adds to IDL number `index` (declaring program `name`)
// before it is compiled; false with the error set.
using AccountOptionsFor = std::function<bool(std::size_t index, const std::optional<std::string>& name,
                                             AccountOptions& options)>;

// Every IDL of `items` (a tuple of str) compiled: an Anchor IDL (current or
// legacy) is one program; a Codama document one per program it holds, keyed
// by its publicKey. Two IDLs of one address are an error; a Codama document's
// additional program stands aside for a program that another IDL describes
// as its own, and for an earlier additional one. nullopt with IdlError (or
// the argument's TypeError) set.
std::optional<std::vector<CompiledProgram>> load_programs(const State& state, PyObject* items, PyObject* addresses,
                                                          const AccountOptionsFor& account_options = {});

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
