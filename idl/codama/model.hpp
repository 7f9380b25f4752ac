// The model of a Codama document: a root node's programs, with the type nodes
// their instructions, accounts and defined types are made of. Only what
// decoding needs is kept (no docs, PDAs or display hints but the static
// metadata of amounts and dates). Plain owned values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brisquel::idl::codama {

using Bytes = std::vector<std::uint8_t>;

enum class NumberFormat : std::uint8_t { U8, U16, U32, U64, U128, I8, I16, I32, I64, I128, F32, F64, ShortU16 };

struct Number {
  NumberFormat format = NumberFormat::U8;
  bool big_endian = false;
  bool operator==(const Number&) const = default;
};

enum class OffsetStrategy : std::uint8_t { Relative, Absolute, Padded, PreOffset };

struct Type;

struct Field {
  std::string name;
  std::vector<Type> type;  // exactly one
};

struct Variant {
  enum class Kind : std::uint8_t { Empty, Struct, Tuple };
  Kind kind = Kind::Empty;
  std::string name;
  std::optional<std::uint64_t> discriminator;
  std::vector<Type> data;  // Struct and Tuple: one struct or tuple type
};

struct Type {
  enum class Kind : std::uint8_t {
    Number, Boolean, PublicKey, String, Bytes,
    FixedSize, SizePrefix, Sentinel,           // `items[0]` within a window of bytes
    Array, Map,                                // `items`: the element (Map: key, value)
    Tuple, Struct, Enum,
    Option, ZeroableOption, RemainderOption,   // `items[0]`: the value
    HiddenPrefix, HiddenSuffix,                // `constant` around `items[0]`
    PreOffset, PostOffset,                     // `items[0]`, read after / followed by a move
    Link,                                      // a defined type, by name
  };
  enum class Count : std::uint8_t { Fixed, Prefixed, Remainder };

  Kind kind = Kind::Number;
  Number number;                  // Number; Boolean's size; the prefix of SizePrefix, Option and prefixed counts; Enum's size
  Count count = Count::Fixed;     // Array, Map
  std::uint64_t size = 0;         // FixedSize; fixed counts
  std::int64_t offset = 0;        // offsets
  OffsetStrategy strategy = OffsetStrategy::Relative;
  bool fixed = false;             // Option
  std::optional<Bytes> constant;  // Sentinel; HiddenPrefix/Suffix (the constants joined); ZeroableOption's zero value
  std::string encoding = "utf8";  // String: utf8, base16, base58, base64
  std::vector<Type> items;
  std::vector<Field> fields;      // Struct
  std::vector<Variant> variants;  // Enum
  std::string name;               // Link: the type; program: the program that defines it (empty: this one)
  std::string program;
  // Column metadata, kept from amount, date-time and SOL amount nodes and from
  // display nodes that say something static.
  std::vector<std::pair<std::string, std::string>> notes;
};

struct DefinedType {
  std::string name;
  Type type;
};

// One check that data must pass to be of an instruction or account.
struct Discriminator {
  enum class Kind : std::uint8_t { Bytes, Size };
  Kind kind = Kind::Bytes;
  std::uint64_t offset = 0;
  Bytes bytes;            // Bytes: what the data holds at `offset`
  std::uint64_t size = 0; // Size: the data's whole length
};

struct Argument {
  std::string name;
  Type type;
  bool omitted = false;  // a default value the caller never gives: in the data, not a column
};

struct InstructionAccount {
  std::string name;
  bool optional = false;
};

struct Instruction {
  std::string name;
  std::vector<Argument> arguments;
  std::vector<InstructionAccount> accounts;
  bool program_id_for_absent = true;  // optionalAccountStrategy "programId" (else "omitted")
  std::vector<Discriminator> discriminators;
};

struct Account {
  std::string name;
  Type data;  // a struct
  std::vector<Discriminator> discriminators;
};

struct Error {
  std::uint32_t code = 0;
  std::string name;
  std::string message;
};

struct Program {
  std::string name;
  std::string public_key;
  bool additional = false;  // from `additionalPrograms`
  std::vector<Instruction> instructions;
  std::vector<Account> accounts;
  std::vector<DefinedType> types;
  std::vector<Error> errors;
};

struct Document {
  std::vector<Program> programs;  // the root's program first, then the additional ones
};

}  // namespace brisquel::idl::codama
