// The legacy (pre-0.30) IDL model. Several records share their names with the
// current model but differ in members: no discriminators, "publicKey", plain
// string `defined` names, "isMut"/"isSigner" accounts, "alias" definitions.
// Plain owned values; copying is deep.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/box.hpp"
#include "idl/json.hpp"

namespace brisquel::idl::legacy {

using Docs = std::vector<std::string>;

struct IdlType;

// One argument of a `definedWithTypeArgs` reference.
struct IdlDefinedTypeArg {
  enum class Kind : std::uint8_t { Generic, Value, Type };
  Kind kind = Kind::Generic;
  std::string text;    // Generic: the parameter name; Value: the const value as written
  Box<IdlType> type;   // Type
};

// The order of Kind is the order of names in "unknown variant" messages; the
// first 17 match the current model's scalar kinds one to one.
struct IdlType {
  enum class Kind : std::uint8_t {
    Bool, U8, I8, U16, I16, U32, I32, F32, U64, I64, F64, U128, I128, U256, I256,
    Bytes, String, PublicKey, Defined, Option, Vec, Array, GenericLenArray, Generic,
    DefinedWithTypeArgs,
  };
  static constexpr int kCount = 25;

  Kind kind = Kind::Bool;
  Box<IdlType> inner;                   // Option, Vec, Array, GenericLenArray
  std::uint64_t len = 0;                // Array
  // Defined, DefinedWithTypeArgs: the type name; Generic: the parameter;
  // GenericLenArray: the const parameter giving the length.
  std::string name;
  std::vector<IdlDefinedTypeArg> args;  // DefinedWithTypeArgs

  static IdlType scalar(Kind k) { IdlType t; t.kind = k; return t; }
};

struct IdlField {
  std::string name;
  std::optional<Docs> docs;
  IdlType type;
};

struct EnumFields {
  enum class Kind : std::uint8_t { Named, Tuple };
  Kind kind = Kind::Named;
  std::vector<IdlField> named;
  std::vector<IdlType> tuple;
};

struct IdlEnumVariant {
  std::string name;
  std::optional<EnumFields> fields;
};

struct IdlTypeDefinitionTy {
  enum class Kind : std::uint8_t { Struct, Enum, Alias };
  Kind kind = Kind::Struct;
  std::vector<IdlField> fields;          // Struct
  std::vector<IdlEnumVariant> variants;  // Enum
  IdlType value;                         // Alias
};

struct IdlTypeDefinition {
  std::string name;
  std::optional<Docs> docs;
  std::optional<std::vector<std::string>> generics;
  IdlTypeDefinitionTy type;
};

struct IdlSeed {
  enum class Kind : std::uint8_t { Const, Arg, Account };
  Kind kind = Kind::Const;
  IdlType type;
  json::Value value;                   // Const: any JSON value, null included
  std::optional<std::string> account;  // Account
  std::string path;                    // Arg, Account
};

struct IdlPda {
  std::vector<IdlSeed> seeds;
  std::optional<IdlSeed> program_id;
};

struct IdlAccount {
  std::string name;
  bool is_mut = false;
  bool is_signer = false;
  std::optional<bool> is_optional;
  std::optional<Docs> docs;
  std::optional<IdlPda> pda;
  std::vector<std::string> relations;
};

struct IdlAccountItem;

struct IdlAccounts {
  std::string name;
  std::vector<IdlAccountItem> accounts;
};

struct IdlAccountItem {
  enum class Kind : std::uint8_t { Single, Composite };
  Kind kind = Kind::Single;
  IdlAccount single;
  IdlAccounts composite;
};

struct IdlInstruction {
  std::string name;
  std::optional<Docs> docs;
  std::vector<IdlAccountItem> accounts;
  std::vector<IdlField> args;
  std::optional<IdlType> returns;
};

struct IdlEventField {
  std::string name;
  IdlType type;
  bool index = false;
};

struct IdlEvent {
  std::string name;
  std::vector<IdlEventField> fields;
};

struct IdlErrorCode {
  std::uint32_t code = 0;
  std::string name;
  std::optional<std::string> msg;
};

struct IdlConst {
  std::string name;
  IdlType type;
  std::string value;
};

struct Idl {
  std::string version;
  std::string name;
  std::optional<Docs> docs;
  std::vector<IdlConst> constants;
  std::vector<IdlInstruction> instructions;
  std::vector<IdlTypeDefinition> accounts;
  std::vector<IdlTypeDefinition> types;
  std::optional<std::vector<IdlEvent>> events;
  std::optional<std::vector<IdlErrorCode>> errors;
  // Free-form; only its string member "address" is ever used.
  std::optional<json::Value> metadata;
};

}  // namespace brisquel::idl::legacy
