// What a decoder keeps of an IDL: the event table and the type table, prepared
// once so that decoding a line needs no lookups by name and no new key objects.
// Immutable after construction and shared by every thread that decodes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "idl/model.hpp"
#include "codec/result.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

struct Definition;

// An IdlType with its `defined` reference resolved to the type table entry.
struct TypeNode {
  using Kind = idl::IdlType::Kind;
  Kind kind = Kind::Bool;
  bool generic_len = false;   // Array: the length is a generic parameter
  bool has_generics = false;  // Defined: given generic arguments
  std::uint64_t len = 0;      // Array: the literal length
  // A scalar made without running Python code (all but u256 and i256), so a
  // list of them may be filled in place: no Python code can see it half-made.
  bool plain = false;
  // Plain scalars: the fewest payload bytes a value takes, so a list of them
  // is sized up front only when the payload can back its count.
  std::uint64_t min_size = 0;
  const TypeNode* inner = nullptr;         // Option, Vec, Array
  const Definition* definition = nullptr;  // Defined: nullptr when the name is unknown
  std::string name;                        // Defined: the name, for error texts
};

// IdlDefinedFields: named (with their dict keys) or tuple.
struct FieldList {
  bool named = true;
  bool plain = false;  // every type is a plain scalar
  std::vector<PyRef> keys;  // named: one interned str per field
  std::vector<const TypeNode*> types;
  // Named, with more keys than a new dict holds before it first grows: a dict
  // of every key to None, in first-declared order, whose copy takes the
  // values without growing step by step. Empty otherwise.
  PyRef blank;
};

struct Variant {
  PyRef name;  // str
  std::optional<FieldList> fields;
};

// One entry of the type table: an IdlTypeDef's body.
struct Definition {
  using Kind = idl::IdlTypeDefTy::Kind;
  Kind kind = Kind::Struct;
  std::optional<FieldList> fields;  // Struct
  std::vector<Variant> variants;    // Enum
  const TypeNode* alias = nullptr;  // Type
};

struct EventLayout {
  std::vector<std::uint8_t> discriminator;
  std::string name;
  PyRef name_object;                            // str
  const std::optional<FieldList>* fields = nullptr;  // the struct's field list
};

class DecoderTables {
 public:
  // Builds the tables from a loaded IDL; the error is the constructor's
  // ValueError message. Needs the interpreter (for the key objects); a failure
  // to create one leaves the Python error pending and throws PythonErrorSet.
  static Result<std::unique_ptr<DecoderTables>> build(const idl::Idl& idl);

  std::span<const EventLayout> events() const { return events_; }

  // Whether decoding may run Python code: only 256-bit integers do, through
  // int.from_bytes (import hooks, a replaced builtins.int).
  bool runs_python() const { return runs_python_; }

  // The first declared layout whose 8-byte discriminator is `disc` (the
  // payload's first 8 bytes read little-endian), or nullptr.
  const EventLayout* match(std::uint64_t disc) const;

 private:
  DecoderTables() = default;

  const TypeNode* node(const idl::IdlType& type);
  std::optional<FieldList> field_list(const std::optional<idl::IdlDefinedFields>& fields);

  std::deque<TypeNode> nodes_;
  std::deque<Definition> definitions_;
  std::vector<std::pair<std::string, Definition*>> by_name_;  // sorted by name; used while building
  std::vector<EventLayout> events_;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> by_disc_;  // sorted, first declared kept
  bool runs_python_ = false;
};

// Thrown when creating a Python object fails while the tables are built; the
// interpreter's error is pending.
struct PythonErrorSet {};

}  // namespace brisquel
