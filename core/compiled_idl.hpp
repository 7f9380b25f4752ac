// An IDL compiled for decoding: the event table and the type table, prepared
// once so that decoding a line needs no lookups by name. Immutable after
// construction and shared by every thread that decodes. Nothing here knows
// Python: each output (Python values, Arrow columns) keeps its own per-name
// objects, indexed by the ids given below.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/result.hpp"
#include "core/error.hpp"
#include "idl/model.hpp"

namespace brisquel {

namespace idl::codama {
struct Document;
}

struct Definition;

// Bytes a scalar takes: fixed, or 0 for `bytes` and `string`, whose length
// comes first. The one table of scalar widths.
constexpr std::uint64_t scalar_width(idl::IdlType::Kind k) {
  using Kind = idl::IdlType::Kind;
  switch (k) {
    case Kind::Bool: case Kind::U8: case Kind::I8: return 1;
    case Kind::U16: case Kind::I16: return 2;
    case Kind::U32: case Kind::I32: case Kind::F32: return 4;
    case Kind::U64: case Kind::I64: case Kind::F64: return 8;
    case Kind::U128: case Kind::I128: return 16;
    case Kind::U256: case Kind::I256: case Kind::Pubkey: return 32;
    default: return 0;
  }
}

// How a value's bytes are laid out where its kind alone does not say it (the
// encodings a Codama document may ask for). The value is still of `kind`, so
// every sink sees the same calls; the walk alone reads the layout.
enum class Layout : std::uint8_t {
  Borsh,            // as `kind` says
  BigEndian,        // a number, most significant byte first
  ShortU16,         // a u16 in one to three bytes of seven bits
  SizedBool,        // a boolean held as the number `prefix` (not 0: true)
  Remainder,        // a string or bytes: every byte left (`text`: how a string's bytes read)
  FixedSize,        // `inner` within exactly `len` bytes
  SizePrefix,       // `inner` within as many bytes as the number `prefix` says
  Sentinel,         // `inner` within the bytes before `constant`, which follows
  PrefixedCount,    // a vec whose count is the number `prefix`
  RemainderCount,   // a vec whose elements run to the end of the bytes
  PrefixedOption,   // an option whose flag is the number `prefix`; `fixed`: None still takes `len` bytes
  ZeroableOption,   // `len` bytes equal to `constant` are None, else `inner`
  RemainderOption,  // no bytes left is None, else `inner`
  HiddenPrefix,     // `constant` (checked, not kept), then `inner`
  HiddenSuffix,     // `inner`, then `constant`
  PreOffset,        // a move (`strategy`, `offset`), then `inner`
  PostOffset,       // `inner`, then a move
};

// How a string of Layout::Remainder reads its bytes.
enum class TextEncoding : std::uint8_t { Utf8, Base16, Base58, Base64 };
enum class OffsetStrategy : std::uint8_t { Relative, Absolute, Padded, PreOffset };

// What a column says beside its values (an amount's decimals and unit, that a
// number is a date): static facts of the description.
using ColumnNotes = std::vector<std::pair<std::string, std::string>>;

// An IdlType with its `defined` reference resolved to the type table entry.
struct TypeNode {
  using Kind = idl::IdlType::Kind;
  Kind kind = Kind::Bool;
  Layout layout = Layout::Borsh;
  TextEncoding text = TextEncoding::Utf8;     // Remainder strings
  OffsetStrategy strategy = OffsetStrategy::Relative;
  bool fixed = false;                         // PrefixedOption
  std::int64_t offset = 0;                    // PreOffset, PostOffset
  const TypeNode* prefix = nullptr;           // the number a size, count or flag is read as
  std::vector<std::uint8_t> constant;         // Sentinel, ZeroableOption, hidden prefixes and suffixes
  ColumnNotes notes;
  bool generic_len = false;   // Array: the length is a generic parameter
  bool has_generics = false;  // Defined: given generic arguments
  std::uint64_t len = 0;      // Array: the literal length
  // Scalars (bool to pubkey): the bytes a value takes, fixed (0: a string or
  // bytes value, whose length comes first), and the fewest it can take.
  std::uint64_t width = 0;
  std::uint64_t min_size = 0;
  bool scalar = false;
  const TypeNode* inner = nullptr;         // Option, Vec, Array
  const Definition* definition = nullptr;  // Defined: nullptr when the name is unknown
  std::string name;                        // Defined: the name, for error texts
};

// IdlDefinedFields: named or tuple.
struct FieldList {
  std::uint32_t id = 0;  // dense, over every field list of the tables
  bool named = true;
  bool repeats_names = false;      // named: a name stands more than once (a map keeps the last value)
  std::vector<std::string> names;  // named: one per field, repeats included
  std::vector<const TypeNode*> types;
  // C layouts only: bytes of padding before each field, then after the last
  // (types.size() + 1 entries). Empty when there is none, as in Borsh.
  std::vector<std::uint32_t> gaps;
};

struct Variant {
  std::uint32_t id = 0;  // dense, over every variant of the tables
  std::string name;
  std::optional<FieldList> fields;
  // Set where the fields are laid out inside another type (a size prefix
  // around them): what the walk reads, ending at a struct of these fields.
  const TypeNode* data = nullptr;
};

// One entry of the type table: an IdlTypeDef's body.
struct Definition {
  using Kind = idl::IdlTypeDefTy::Kind;
  Kind kind = Kind::Struct;
  std::string name;
  bool recursive = false;           // its values may contain values of itself
  std::optional<FieldList> fields;  // Struct
  std::vector<Variant> variants;    // Enum
  const TypeNode* alias = nullptr;  // Type
  // Enum: bytes of the variant index (Borsh: 1), and in a C layout the bytes
  // the whole value takes (0: as many as its variant reads).
  std::uint8_t tag_bytes = 1;
  std::uint32_t c_size = 0;
  // Enum: the number its index is read as when that is not one byte of a
  // variant's position (tag_bytes is then 0), and each variant's value of it.
  const TypeNode* tag = nullptr;
  std::vector<std::uint64_t> tags;
};

// A check that an instruction's or account's data must pass: its bytes at
// an offset, or its whole length.
struct DataCheck {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
  std::optional<std::uint64_t> size;  // set: a check of the length alone
  bool passes(std::span<const std::uint8_t> data) const {
    if (size) return data.size() == *size;
    return offset <= data.size() && bytes.size() <= data.size() - offset &&
           std::equal(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
  }
};

// ---- Instruction calls ----

// One account an instruction takes, composite groups flattened in order.
struct InstructionAccount {
  std::string name;  // its path through composite groups: "group.member"
  bool optional = false;  // the program's own address in its place means none
};

// The first of `layouts` (instructions or accounts described by checks)
// whose checks all pass on `data`, which must reach where its body starts
// (`start`); one without checks matches nothing.
template <class L>
const L* first_passing(std::span<const L> layouts, std::span<const std::uint8_t> data, std::uint64_t L::*start) {
  for (const L& layout : layouts) {
    if (!layout.checks.empty() && layout.*start <= data.size() &&
        std::ranges::all_of(layout.checks, [&](const DataCheck& c) { return c.passes(data); })) {
      return &layout;
    }
  }
  return nullptr;
}

struct InstructionLayout {
  std::vector<std::uint8_t> discriminator;
  std::vector<DataCheck> checks;  // described by checks (then `discriminator` is empty): all must pass
  std::uint64_t args_offset = 0;  // where the arguments start: after the discriminator
  std::string name;
  std::optional<FieldList> args;  // always a named list (maybe empty), numbered like every other
  std::vector<InstructionAccount> accounts;
};

// ---- end of instruction calls ----

struct EventLayout {
  std::vector<std::uint8_t> discriminator;
  std::string name;
  const Definition* definition = nullptr;            // the event's struct
  const std::optional<FieldList>* fields = nullptr;  // its field list
};

// ---- accounts ----

// What the caller says about an IDL's accounts that the IDL does not record.
struct AccountOptions {
  // Types to read as zero-copy (repr C, implicit padding skipped) although
  // their `serialization` does not say so, as legacy IDLs never do. An
  // account is zero-copy when its type is named here or its serialization is
  // bytemuck or bytemuckunsafe; the types inside it then take C layouts too.
  std::vector<std::string> zero_copy;
};

struct AccountLayout {
  std::vector<std::uint8_t> discriminator;  // any length
  std::vector<DataCheck> checks;            // described by checks (then `discriminator` is empty): all must pass
  std::uint64_t body_offset = 0;            // where the walk starts: after the discriminator
  std::string name;
  const Definition* definition = nullptr;   // the account's struct, or nullptr (see `unusable`)
  bool zero_copy = false;                   // read at its C-layout offsets
  // The field list the walk reads after the discriminator: the struct's own
  // (Borsh) or its C-layout form, with padding.
  const std::optional<FieldList>* fields = nullptr;
  // Not None: no body of this account decodes, for this reason (its type is
  // not a struct of idl.types, or a zero-copy account has no fixed layout).
  Error unusable;
  // Body bytes (after the discriminator), to compare with data lengths: the
  // fewest a Borsh value takes (UINT64_MAX: no finite value), and the C
  // layout's size (nullopt: no fixed layout).
  std::uint64_t borsh_min_size = 0;
  std::optional<std::uint64_t> c_size;
};

// ---- end of accounts ----

class CompiledIdl {
 public:
  // Builds the tables from a loaded IDL; the error is the constructor's
  // ValueError message.
  static Result<std::unique_ptr<const CompiledIdl>> build(const idl::Idl& idl, const AccountOptions& accounts = {});
  // Builds program number `program` of a Codama document (definedTypeLinkNodes
  // may name types of the document's other programs).
  static Result<std::unique_ptr<const CompiledIdl>> build(const idl::codama::Document& document, std::size_t program);

  // Whether codes below 6000 that the description does not name are the
  // Anchor framework's own (not so for programs described otherwise).
  bool anchor_errors() const { return anchor_errors_; }
  // Whether data that matches none of the instructions is still a call of
  // the program, with that problem (so for descriptions of whole programs).
  bool unmatched_calls() const { return !anchor_errors_; }

  std::span<const EventLayout> events() const { return events_; }
  std::size_t field_list_count() const { return field_lists_.size(); }
  std::size_t variant_count() const { return variants_.size(); }
  // Every field list and variant, by id.
  const FieldList& field_list(std::uint32_t id) const { return *field_lists_[id]; }
  const Variant& variant(std::uint32_t id) const { return *variants_[id]; }

  // Whether any type is a 256-bit integer (the only values whose Python form
  // runs Python code).
  bool has_256_bit() const { return has_256_bit_; }

  // The first declared layout whose 8-byte discriminator is `disc` (the
  // payload's first 8 bytes read little-endian), or nullptr.
  const EventLayout* match(std::uint64_t disc) const;

  // ---- Instruction calls ----
  std::span<const InstructionLayout> instructions() const { return instructions_; }
  // The instruction whose discriminator is the longest prefix of `data` (the
  // first declared among equal ones), or nullptr. Empty discriminators match nothing.
  const InstructionLayout* match_instruction(std::span<const std::uint8_t> data) const;
  // The IDL's own error of `code` (the first declared), or nullptr.
  const idl::IdlErrorCode* error(std::uint32_t code) const;
  // ---- end of instruction calls ----
  // ---- accounts ----
  std::span<const AccountLayout> accounts() const { return accounts_; }
  // The account whose discriminator is the longest prefix of `data` (the
  // first declared among equal ones), or nullptr.
  const AccountLayout* match_account(std::span<const std::uint8_t> data) const;
  // ---- end of accounts ----

 private:
  CompiledIdl() = default;
  friend class CodamaCompiler;
  bool anchor_errors_ = true;
  bool ordered_ = false;  // instructions and accounts match by their checks, the first declared that passes

  // ---- accounts (account_layouts.cpp) ----
  friend class CLayoutForms;
  struct AccountKey {  // a discriminator's first 8 bytes, zero-filled, with a mask of those it has
    std::uint64_t head, mask;
    std::uint32_t account;
  };
  Result<void> build_accounts(const idl::Idl& idl, const AccountOptions& options);
  std::vector<AccountLayout> accounts_;
  std::vector<AccountKey> account_keys_;  // longest discriminator first, then in declaration order
  // ---- end of accounts ----

  void add_scalar_nodes();
  void number_definitions();
  const TypeNode* node(const idl::IdlType& type);
  std::optional<FieldList> field_list(const std::optional<idl::IdlDefinedFields>& fields);
  void number(std::optional<FieldList>& fields);
  void find_recursion();

  std::deque<TypeNode> nodes_;
  std::deque<Definition> definitions_;
  std::vector<std::pair<std::string, Definition*>> by_name_;  // sorted by name; used while building
  std::vector<EventLayout> events_;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> by_disc_;  // sorted, first declared kept
  std::vector<const FieldList*> field_lists_;
  std::vector<const Variant*> variants_;
  bool has_256_bit_ = false;

  // ---- Instruction calls ----
  void build_instructions(const idl::Idl& idl);
  // Discriminators of one length, sorted by their bytes, first declared kept.
  struct DiscriminatorsOfLength {
    std::size_t length = 0;
    std::vector<std::pair<std::string_view, std::uint32_t>> sorted;
  };
  std::vector<InstructionLayout> instructions_;
  std::vector<DiscriminatorsOfLength> by_instruction_disc_;  // longest first
  std::vector<idl::IdlErrorCode> errors_;                    // sorted by code, first declared kept
  // ---- end of instruction calls ----
};

}  // namespace brisquel
