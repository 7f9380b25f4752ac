// Each record of the legacy model is a declaration of its fields; the choice
// types name their variants and say how each one's data is read.
#include "idl/legacy/readers.hpp"

#include "idl/reading.hpp"

namespace brisquel::idl::legacy {
namespace {

// A `definedWithTypeArgs` reference as its struct variant is written.
struct DefinedWithArgs {
  std::string name;
  std::vector<IdlDefinedTypeArg> args;
};

}  // namespace
}  // namespace brisquel::idl::legacy

namespace brisquel::idl::reading {

namespace lg = legacy;

template <>
struct Reader<lg::IdlType> {
  static Result<lg::IdlType> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<lg::IdlDefinedTypeArg> {
  static Result<lg::IdlDefinedTypeArg> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<lg::EnumFields> {
  static Result<lg::EnumFields> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<lg::IdlTypeDefinitionTy> {
  static Result<lg::IdlTypeDefinitionTy> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<lg::IdlSeed> {
  static Result<lg::IdlSeed> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<lg::IdlAccountItem> {
  static Result<lg::IdlAccountItem> read(const json::Value& v, Ctx ctx);
};

// --- records ---

template <>
inline constexpr auto kRecord<lg::DefinedWithArgs> = record<lg::DefinedWithArgs>(
    "struct variant IdlType::DefinedWithTypeArgs", required("name", &lg::DefinedWithArgs::name),
    required("args", &lg::DefinedWithArgs::args));

template <>
inline constexpr auto kRecord<lg::IdlField> = record<lg::IdlField>(
    "struct IdlField", required("name", &lg::IdlField::name), nullable("docs", &lg::IdlField::docs),
    required("type", &lg::IdlField::type));

template <>
inline constexpr auto kRecord<lg::IdlEnumVariant> = record<lg::IdlEnumVariant>(
    "struct IdlEnumVariant", required("name", &lg::IdlEnumVariant::name),
    nullable("fields", &lg::IdlEnumVariant::fields));

template <>
inline constexpr auto kRecord<lg::IdlTypeDefinition> = record<lg::IdlTypeDefinition>(
    "struct IdlTypeDefinition", required("name", &lg::IdlTypeDefinition::name),
    nullable("docs", &lg::IdlTypeDefinition::docs), nullable("generics", &lg::IdlTypeDefinition::generics),
    required("type", &lg::IdlTypeDefinition::type));

template <>
inline constexpr auto kRecord<lg::IdlPda> = record<lg::IdlPda>(
    "struct IdlPda", required("seeds", &lg::IdlPda::seeds), nullable("programId", &lg::IdlPda::program_id));

template <>
inline constexpr auto kRecord<lg::IdlAccount> = record<lg::IdlAccount>(
    "struct IdlAccount", required("name", &lg::IdlAccount::name), required("isMut", &lg::IdlAccount::is_mut),
    required("isSigner", &lg::IdlAccount::is_signer), nullable("isOptional", &lg::IdlAccount::is_optional),
    nullable("docs", &lg::IdlAccount::docs), nullable("pda", &lg::IdlAccount::pda),
    defaulted("relations", &lg::IdlAccount::relations));

template <>
inline constexpr auto kRecord<lg::IdlAccounts> = record<lg::IdlAccounts>(
    "struct IdlAccounts", required("name", &lg::IdlAccounts::name), required("accounts", &lg::IdlAccounts::accounts));

template <>
inline constexpr auto kRecord<lg::IdlInstruction> = record<lg::IdlInstruction>(
    "struct IdlInstruction", required("name", &lg::IdlInstruction::name),
    nullable("docs", &lg::IdlInstruction::docs), required("accounts", &lg::IdlInstruction::accounts),
    required("args", &lg::IdlInstruction::args), nullable("returns", &lg::IdlInstruction::returns));

template <>
inline constexpr auto kRecord<lg::IdlEventField> = record<lg::IdlEventField>(
    "struct IdlEventField", required("name", &lg::IdlEventField::name), required("type", &lg::IdlEventField::type),
    required("index", &lg::IdlEventField::index));

template <>
inline constexpr auto kRecord<lg::IdlEvent> = record<lg::IdlEvent>(
    "struct IdlEvent", required("name", &lg::IdlEvent::name), required("fields", &lg::IdlEvent::fields));

template <>
inline constexpr auto kRecord<lg::IdlErrorCode> = record<lg::IdlErrorCode>(
    "struct IdlErrorCode", required("code", &lg::IdlErrorCode::code), required("name", &lg::IdlErrorCode::name),
    nullable("msg", &lg::IdlErrorCode::msg));

template <>
inline constexpr auto kRecord<lg::IdlConst> = record<lg::IdlConst>(
    "struct IdlConst", required("name", &lg::IdlConst::name), required("type", &lg::IdlConst::type),
    required("value", &lg::IdlConst::value));

template <>
inline constexpr auto kRecord<lg::Idl> = record<lg::Idl>(
    "struct Idl", required("version", &lg::Idl::version), required("name", &lg::Idl::name),
    nullable("docs", &lg::Idl::docs), defaulted("constants", &lg::Idl::constants),
    required("instructions", &lg::Idl::instructions), defaulted("accounts", &lg::Idl::accounts),
    defaulted("types", &lg::Idl::types), nullable("events", &lg::Idl::events), nullable("errors", &lg::Idl::errors),
    nullable("metadata", &lg::Idl::metadata));

// --- choices ---

namespace {

constexpr std::string_view kLegacyTypeNames[] = {
    "bool", "u8",   "i8",   "u16",  "i16",   "u32",    "i32",       "f32",     "u64",
    "i64",  "f64",  "u128", "i128", "u256",  "i256",   "bytes",     "string",  "publicKey",
    "defined", "option", "vec", "array", "genericLenArray", "generic", "definedWithTypeArgs",
};
static_assert(std::size(kLegacyTypeNames) == lg::IdlType::kCount);

// The data of a newtype variant read as `T`.
template <class T>
Result<T> newtype(const Tagged& tag, Ctx ctx) {
  auto data = newtype_data(tag);
  if (!data) return fail(std::move(data.error()));
  return Reader<T>::read(**data, ctx);
}

}  // namespace

Result<lg::IdlType> Reader<lg::IdlType>::read(const json::Value& v, Ctx ctx) {
  using Kind = lg::IdlType::Kind;
  auto tag = external_tag(v, kLegacyTypeNames);
  if (!tag) return fail(std::move(tag.error()));
  lg::IdlType out;
  out.kind = static_cast<Kind>(tag->index);
  switch (out.kind) {
    case Kind::Defined:
    case Kind::Generic: {
      auto name = newtype<std::string>(*tag, ctx);
      if (!name) return fail(std::move(name.error()));
      out.name = std::move(*name);
      return out;
    }
    case Kind::Option:
    case Kind::Vec: {
      auto inner = newtype<lg::IdlType>(*tag, ctx);
      if (!inner) return fail(std::move(inner.error()));
      out.inner = std::move(*inner);
      return out;
    }
    case Kind::Array: {
      auto pair = read_pair<lg::IdlType, std::uint64_t>(*tag, "tuple variant IdlType::Array", ctx);
      if (!pair) return fail(std::move(pair.error()));
      out.inner = std::move(pair->first);
      out.len = pair->second;
      return out;
    }
    case Kind::GenericLenArray: {
      auto pair = read_pair<lg::IdlType, std::string>(*tag, "tuple variant IdlType::GenericLenArray", ctx);
      if (!pair) return fail(std::move(pair.error()));
      out.inner = std::move(pair->first);
      out.name = std::move(pair->second);
      return out;
    }
    case Kind::DefinedWithTypeArgs: {
      auto src = struct_data(*tag, ctx);
      if (!src) return fail(std::move(src.error()));
      lg::DefinedWithArgs ref;
      auto r = read_record_from(ref, kRecord<lg::DefinedWithArgs>, *src, ctx);
      if (!r) return fail(std::move(r.error()));
      out.name = std::move(ref.name);
      out.args = std::move(ref.args);
      return out;
    }
    default: {
      auto r = unit_data(*tag);
      if (!r) return fail(std::move(r.error()));
      return out;
    }
  }
}

Result<lg::IdlDefinedTypeArg> Reader<lg::IdlDefinedTypeArg>::read(const json::Value& v, Ctx ctx) {
  using Kind = lg::IdlDefinedTypeArg::Kind;
  static constexpr std::string_view kNames[] = {"generic", "value", "type"};
  auto tag = external_tag(v, kNames);
  if (!tag) return fail(std::move(tag.error()));
  lg::IdlDefinedTypeArg out;
  out.kind = static_cast<Kind>(tag->index);
  if (out.kind == Kind::Type) {
    auto type = newtype<lg::IdlType>(*tag, ctx);
    if (!type) return fail(std::move(type.error()));
    out.type = std::move(*type);
    return out;
  }
  auto text = newtype<std::string>(*tag, ctx);
  if (!text) return fail(std::move(text.error()));
  out.text = std::move(*text);
  return out;
}

Result<lg::EnumFields> Reader<lg::EnumFields>::read(const json::Value& v, Ctx) {
  using Kind = lg::EnumFields::Kind;
  return untagged<lg::EnumFields>(
      v, "EnumFields",
      [](const json::Value& x, Ctx c) -> Result<lg::EnumFields> {
        auto named = Reader<std::vector<lg::IdlField>>::read(x, c);
        if (!named) return fail(std::move(named.error()));
        return lg::EnumFields{Kind::Named, std::move(*named), {}};
      },
      [](const json::Value& x, Ctx c) -> Result<lg::EnumFields> {
        auto tuple = Reader<std::vector<lg::IdlType>>::read(x, c);
        if (!tuple) return fail(std::move(tuple.error()));
        return lg::EnumFields{Kind::Tuple, {}, std::move(*tuple)};
      });
}

Result<lg::IdlTypeDefinitionTy> Reader<lg::IdlTypeDefinitionTy>::read(const json::Value& v, Ctx) {
  using Ty = lg::IdlTypeDefinitionTy;
  static constexpr std::string_view kNames[] = {"struct", "enum", "alias"};
  static constexpr auto kStruct =
      record<Ty>("struct variant IdlTypeDefinitionTy::Struct", required("fields", &Ty::fields));
  static constexpr auto kEnum =
      record<Ty>("struct variant IdlTypeDefinitionTy::Enum", required("variants", &Ty::variants));
  static constexpr auto kAlias =
      record<Ty>("struct variant IdlTypeDefinitionTy::Alias", required("value", &Ty::value));
  return read_tagged<Ty>(v, "IdlTypeDefinitionTy", kNames, kStruct, kEnum, kAlias);
}

Result<lg::IdlSeed> Reader<lg::IdlSeed>::read(const json::Value& v, Ctx) {
  using Seed = lg::IdlSeed;
  static constexpr std::string_view kNames[] = {"const", "arg", "account"};
  static constexpr auto kConst =
      record<Seed>("struct IdlSeedConst", required("type", &Seed::type), required("value", &Seed::value));
  static constexpr auto kArg =
      record<Seed>("struct IdlSeedArg", required("type", &Seed::type), required("path", &Seed::path));
  static constexpr auto kAccount = record<Seed>("struct IdlSeedAccount", required("type", &Seed::type),
                                                nullable("account", &Seed::account), required("path", &Seed::path));
  return read_tagged<Seed>(v, "IdlSeed", kNames, kConst, kArg, kAccount);
}

// Single before composite: an account with "isMut" and "isSigner" is a single
// account even when it also lists "accounts".
Result<lg::IdlAccountItem> Reader<lg::IdlAccountItem>::read(const json::Value& v, Ctx) {
  using Item = lg::IdlAccountItem;
  return untagged<Item>(
      v, "IdlAccountItem",
      [](const json::Value& x, Ctx c) -> Result<Item> {
        auto single = Reader<lg::IdlAccount>::read(x, c);
        if (!single) return fail(std::move(single.error()));
        return Item{Item::Kind::Single, std::move(*single), {}};
      },
      [](const json::Value& x, Ctx c) -> Result<Item> {
        auto composite = Reader<lg::IdlAccounts>::read(x, c);
        if (!composite) return fail(std::move(composite.error()));
        return Item{Item::Kind::Composite, {}, std::move(*composite)};
      });
}

}  // namespace brisquel::idl::reading

namespace brisquel::idl::legacy {

Result<Idl> read_idl(const json::Value& document) { return reading::read<Idl>(document, reading::Ctx::Value); }

Result<IdlType> read_type(const json::Value& value) { return reading::read<IdlType>(value, reading::Ctx::Value); }

}  // namespace brisquel::idl::legacy
