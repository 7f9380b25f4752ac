// The current IDL model: type expressions, type definitions and the document
// records. Plain owned values; copying is deep.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/box.hpp"

namespace brisquel::idl {

using Docs = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

struct IdlType;

// The length of an `array`: a literal count, or the name of a const generic.
struct IdlArrayLen {
  enum class Kind : std::uint8_t { Generic, Value };
  Kind kind = Kind::Value;
  std::string generic;
  std::uint64_t value = 0;
  bool operator==(const IdlArrayLen&) const = default;
};

struct IdlGenericArg {
  enum class Kind : std::uint8_t { Type, Const };
  Kind kind = Kind::Type;
  Box<IdlType> type;  // Type
  std::string value;  // Const
  bool operator==(const IdlGenericArg&) const = default;
};

// The order of Kind is the variant index the decoder dispatches on and the
// order of names in "unknown variant" messages.
struct IdlType {
  enum class Kind : std::uint8_t {
    Bool, U8, I8, U16, I16, U32, I32, F32, U64, I64, F64, U128, I128, U256, I256,
    Bytes, String, Pubkey, Option, Vec, Array, Defined, Generic,
  };
  static constexpr int kCount = 23;

  Kind kind = Kind::Bool;
  Box<IdlType> inner;                   // Option, Vec, Array: the inner / element type
  IdlArrayLen len;                      // Array
  std::string name;                     // Defined: the type name; Generic: the parameter
  std::vector<IdlGenericArg> generics;  // Defined

  bool operator==(const IdlType&) const = default;
};

struct IdlField {
  std::string name;
  Docs docs;
  IdlType type;
  bool operator==(const IdlField&) const = default;
};

struct IdlDefinedFields {
  enum class Kind : std::uint8_t { Named, Tuple };
  Kind kind = Kind::Named;
  std::vector<IdlField> named;
  std::vector<IdlType> tuple;
  bool operator==(const IdlDefinedFields&) const = default;
};

struct IdlEnumVariant {
  std::string name;
  std::optional<IdlDefinedFields> fields;
  bool operator==(const IdlEnumVariant&) const = default;
};

struct IdlTypeDefGeneric {
  enum class Kind : std::uint8_t { Type, Const };
  Kind kind = Kind::Type;
  std::string name;
  std::string type;  // Const: the parameter's type as text
  bool operator==(const IdlTypeDefGeneric&) const = default;
};

struct IdlReprModifier {
  bool packed = false;
  std::optional<std::uint64_t> align;
  bool operator==(const IdlReprModifier&) const = default;
};

struct IdlRepr {
  enum class Kind : std::uint8_t { Rust, C, Transparent };
  Kind kind = Kind::Rust;
  IdlReprModifier modifier;  // Rust, C
  bool operator==(const IdlRepr&) const = default;
};

struct IdlSerialization {
  enum class Kind : std::uint8_t { Borsh, Bytemuck, BytemuckUnsafe, Custom };
  Kind kind = Kind::Borsh;
  std::string custom;
  bool operator==(const IdlSerialization&) const = default;
};

struct IdlTypeDefTy {
  enum class Kind : std::uint8_t { Struct, Enum, Type };
  Kind kind = Kind::Struct;
  std::optional<IdlDefinedFields> fields;  // Struct
  std::vector<IdlEnumVariant> variants;    // Enum
  IdlType alias;                           // Type
  bool operator==(const IdlTypeDefTy&) const = default;
};

struct IdlTypeDef {
  std::string name;
  Docs docs;
  IdlSerialization serialization;
  std::optional<IdlRepr> repr;
  std::vector<IdlTypeDefGeneric> generics;
  IdlTypeDefTy type;
  bool operator==(const IdlTypeDef&) const = default;
};

// --- document records ---

struct IdlDependency {
  std::string name;
  std::string version;
  bool operator==(const IdlDependency&) const = default;
};

struct IdlDeployments {
  std::optional<std::string> mainnet, testnet, devnet, localnet;
  bool operator==(const IdlDeployments&) const = default;
};

struct IdlMetadata {
  std::string name;
  std::string version;
  std::string spec;
  std::optional<std::string> description;
  std::optional<std::string> repository;
  std::vector<IdlDependency> dependencies;
  std::optional<std::string> contact;
  std::optional<IdlDeployments> deployments;
  bool operator==(const IdlMetadata&) const = default;
};

struct IdlSeed {
  enum class Kind : std::uint8_t { Const, Arg, Account };
  Kind kind = Kind::Const;
  Bytes value;                         // Const
  std::string path;                    // Arg, Account
  std::optional<std::string> account;  // Account
  bool operator==(const IdlSeed&) const = default;
};

struct IdlPda {
  std::vector<IdlSeed> seeds;
  std::optional<IdlSeed> program;
  bool operator==(const IdlPda&) const = default;
};

struct IdlInstructionAccount {
  std::string name;
  Docs docs;
  bool writable = false;
  bool signer = false;
  bool optional = false;
  std::optional<std::string> address;
  std::optional<IdlPda> pda;
  std::vector<std::string> relations;
  bool operator==(const IdlInstructionAccount&) const = default;
};

struct IdlInstructionAccountItem;

struct IdlInstructionAccounts {
  std::string name;
  std::vector<IdlInstructionAccountItem> accounts;
  bool operator==(const IdlInstructionAccounts&) const;
};

struct IdlInstructionAccountItem {
  enum class Kind : std::uint8_t { Composite, Single };
  Kind kind = Kind::Single;
  IdlInstructionAccounts composite;
  IdlInstructionAccount single;
  bool operator==(const IdlInstructionAccountItem&) const = default;
};

inline bool IdlInstructionAccounts::operator==(const IdlInstructionAccounts& o) const {
  return name == o.name && accounts == o.accounts;
}

struct IdlInstruction {
  std::string name;
  Docs docs;
  Bytes discriminator;
  std::vector<IdlInstructionAccountItem> accounts;
  std::vector<IdlField> args;
  std::optional<IdlType> returns;
  bool operator==(const IdlInstruction&) const = default;
};

struct IdlAccount {
  std::string name;
  Bytes discriminator;
  bool operator==(const IdlAccount&) const = default;
};

struct IdlEvent {
  std::string name;
  Bytes discriminator;
  bool operator==(const IdlEvent&) const = default;
};

struct IdlErrorCode {
  std::uint32_t code = 0;
  std::string name;
  std::optional<std::string> msg;
  bool operator==(const IdlErrorCode&) const = default;
};

struct IdlConst {
  std::string name;
  Docs docs;
  IdlType type;
  std::string value;
  bool operator==(const IdlConst&) const = default;
};

struct Idl {
  std::string address;
  IdlMetadata metadata;
  Docs docs;
  std::vector<IdlInstruction> instructions;
  std::vector<IdlAccount> accounts;
  std::vector<IdlEvent> events;
  std::vector<IdlErrorCode> errors;
  std::vector<IdlTypeDef> types;
  std::vector<IdlConst> constants;
  bool operator==(const Idl&) const = default;
};

}  // namespace brisquel::idl
