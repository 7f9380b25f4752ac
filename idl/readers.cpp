// Each record of the current model is a declaration of its fields; the choice
// types name their variants and say how each one's data is read.
#include "idl/readers.hpp"

#include "idl/reading.hpp"

namespace brisquel::idl {
namespace {

// A `defined` reference as its struct variant is written.
struct DefinedRef {
  std::string name;
  std::vector<IdlGenericArg> generics;
};

}  // namespace
}  // namespace brisquel::idl

namespace brisquel::idl::reading {

template <>
struct Reader<IdlType> {
  static Result<IdlType> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlArrayLen> {
  static Result<IdlArrayLen> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlGenericArg> {
  static Result<IdlGenericArg> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlDefinedFields> {
  static Result<IdlDefinedFields> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlTypeDefTy> {
  static Result<IdlTypeDefTy> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlTypeDefGeneric> {
  static Result<IdlTypeDefGeneric> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlRepr> {
  static Result<IdlRepr> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlSerialization> {
  static Result<IdlSerialization> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlSeed> {
  static Result<IdlSeed> read(const json::Value& v, Ctx ctx);
};
template <>
struct Reader<IdlInstructionAccountItem> {
  static Result<IdlInstructionAccountItem> read(const json::Value& v, Ctx ctx);
};

// --- records ---

template <>
inline constexpr auto kRecord<DefinedRef> = record<DefinedRef>(
    "struct variant IdlType::Defined", required("name", &DefinedRef::name),
    defaulted("generics", &DefinedRef::generics));

template <>
inline constexpr auto kRecord<IdlField> = record<IdlField>(
    "struct IdlField", required("name", &IdlField::name), defaulted("docs", &IdlField::docs),
    required("type", &IdlField::type));

template <>
inline constexpr auto kRecord<IdlEnumVariant> = record<IdlEnumVariant>(
    "struct IdlEnumVariant", required("name", &IdlEnumVariant::name), nullable("fields", &IdlEnumVariant::fields));

template <>
inline constexpr auto kRecord<IdlReprModifier> = record<IdlReprModifier>(
    "struct IdlReprModifier", defaulted("packed", &IdlReprModifier::packed),
    nullable("align", &IdlReprModifier::align));

template <>
inline constexpr auto kRecord<IdlTypeDef> = record<IdlTypeDef>(
    "struct IdlTypeDef", required("name", &IdlTypeDef::name), defaulted("docs", &IdlTypeDef::docs),
    defaulted("serialization", &IdlTypeDef::serialization), nullable("repr", &IdlTypeDef::repr),
    defaulted("generics", &IdlTypeDef::generics), required("type", &IdlTypeDef::type));

template <>
inline constexpr auto kRecord<IdlDependency> = record<IdlDependency>(
    "struct IdlDependency", required("name", &IdlDependency::name), required("version", &IdlDependency::version));

template <>
inline constexpr auto kRecord<IdlDeployments> = record<IdlDeployments>(
    "struct IdlDeployments", nullable("mainnet", &IdlDeployments::mainnet),
    nullable("testnet", &IdlDeployments::testnet), nullable("devnet", &IdlDeployments::devnet),
    nullable("localnet", &IdlDeployments::localnet));

template <>
inline constexpr auto kRecord<IdlMetadata> = record<IdlMetadata>(
    "struct IdlMetadata", required("name", &IdlMetadata::name), required("version", &IdlMetadata::version),
    required("spec", &IdlMetadata::spec), nullable("description", &IdlMetadata::description),
    nullable("repository", &IdlMetadata::repository), defaulted("dependencies", &IdlMetadata::dependencies),
    nullable("contact", &IdlMetadata::contact), nullable("deployments", &IdlMetadata::deployments));

template <>
inline constexpr auto kRecord<IdlPda> = record<IdlPda>(
    "struct IdlPda", required("seeds", &IdlPda::seeds), nullable("program", &IdlPda::program));

template <>
inline constexpr auto kRecord<IdlInstructionAccount> = record<IdlInstructionAccount>(
    "struct IdlInstructionAccount", required("name", &IdlInstructionAccount::name),
    defaulted("docs", &IdlInstructionAccount::docs), defaulted("writable", &IdlInstructionAccount::writable),
    defaulted("signer", &IdlInstructionAccount::signer), defaulted("optional", &IdlInstructionAccount::optional),
    nullable("address", &IdlInstructionAccount::address), nullable("pda", &IdlInstructionAccount::pda),
    defaulted("relations", &IdlInstructionAccount::relations));

template <>
inline constexpr auto kRecord<IdlInstructionAccounts> = record<IdlInstructionAccounts>(
    "struct IdlInstructionAccounts", required("name", &IdlInstructionAccounts::name),
    required("accounts", &IdlInstructionAccounts::accounts));

template <>
inline constexpr auto kRecord<IdlInstruction> = record<IdlInstruction>(
    "struct IdlInstruction", required("name", &IdlInstruction::name), defaulted("docs", &IdlInstruction::docs),
    required("discriminator", &IdlInstruction::discriminator), required("accounts", &IdlInstruction::accounts),
    required("args", &IdlInstruction::args), nullable("returns", &IdlInstruction::returns));

template <>
inline constexpr auto kRecord<IdlAccount> = record<IdlAccount>(
    "struct IdlAccount", required("name", &IdlAccount::name), required("discriminator", &IdlAccount::discriminator));

template <>
inline constexpr auto kRecord<IdlEvent> = record<IdlEvent>(
    "struct IdlEvent", required("name", &IdlEvent::name), required("discriminator", &IdlEvent::discriminator));

template <>
inline constexpr auto kRecord<IdlErrorCode> = record<IdlErrorCode>(
    "struct IdlErrorCode", required("code", &IdlErrorCode::code), required("name", &IdlErrorCode::name),
    nullable("msg", &IdlErrorCode::msg));

template <>
inline constexpr auto kRecord<IdlConst> = record<IdlConst>(
    "struct IdlConst", required("name", &IdlConst::name), defaulted("docs", &IdlConst::docs),
    required("type", &IdlConst::type), required("value", &IdlConst::value));

template <>
inline constexpr auto kRecord<Idl> = record<Idl>(
    "struct Idl", required("address", &Idl::address), required("metadata", &Idl::metadata),
    defaulted("docs", &Idl::docs), required("instructions", &Idl::instructions),
    defaulted("accounts", &Idl::accounts), defaulted("events", &Idl::events), defaulted("errors", &Idl::errors),
    defaulted("types", &Idl::types), defaulted("constants", &Idl::constants));

// --- choices ---

namespace {

constexpr std::string_view kTypeNames[] = {
    "bool", "u8",   "i8",   "u16",  "i16",   "u32",    "i32",    "f32",    "u64",    "i64",   "f64",     "u128",
    "i128", "u256", "i256", "bytes", "string", "pubkey", "option", "vec", "array", "defined", "generic",
};
static_assert(std::size(kTypeNames) == IdlType::kCount);

}  // namespace

Result<IdlType> Reader<IdlType>::read(const json::Value& v, Ctx ctx) {
  auto tag = external_tag(v, kTypeNames);
  if (!tag) return fail(std::move(tag.error()));
  IdlType out;
  out.kind = static_cast<IdlType::Kind>(tag->index);
  switch (out.kind) {
    case IdlType::Kind::Option:
    case IdlType::Kind::Vec: {
      auto data = newtype_data(*tag);
      if (!data) return fail(std::move(data.error()));
      auto inner = Reader<IdlType>::read(**data, ctx);
      if (!inner) return fail(std::move(inner.error()));
      out.inner = std::move(*inner);
      return out;
    }
    case IdlType::Kind::Array: {
      auto pair = read_pair<IdlType, IdlArrayLen>(*tag, "tuple variant IdlType::Array", ctx);
      if (!pair) return fail(std::move(pair.error()));
      out.inner = std::move(pair->first);
      out.len = std::move(pair->second);
      return out;
    }
    case IdlType::Kind::Defined: {
      auto src = struct_data(*tag, ctx);
      if (!src) return fail(std::move(src.error()));
      DefinedRef ref;
      auto r = read_record_from(ref, kRecord<DefinedRef>, *src, ctx);
      if (!r) return fail(std::move(r.error()));
      out.name = std::move(ref.name);
      out.generics = std::move(ref.generics);
      return out;
    }
    case IdlType::Kind::Generic: {
      auto data = newtype_data(*tag);
      if (!data) return fail(std::move(data.error()));
      auto name = Reader<std::string>::read(**data, ctx);
      if (!name) return fail(std::move(name.error()));
      out.name = std::move(*name);
      return out;
    }
    default: {
      auto r = unit_data(*tag);
      if (!r) return fail(std::move(r.error()));
      return out;
    }
  }
}

Result<IdlArrayLen> Reader<IdlArrayLen>::read(const json::Value& v, Ctx) {
  static constexpr std::string_view kGeneric[] = {"generic"};
  return untagged<IdlArrayLen>(
      v, "IdlArrayLen",
      [](const json::Value& x, Ctx c) -> Result<IdlArrayLen> {
        auto tag = external_tag(x, kGeneric);
        if (!tag) return fail(std::move(tag.error()));
        auto data = newtype_data(*tag);
        if (!data) return fail(std::move(data.error()));
        auto name = Reader<std::string>::read(**data, c);
        if (!name) return fail(std::move(name.error()));
        return IdlArrayLen{IdlArrayLen::Kind::Generic, std::move(*name), 0};
      },
      [](const json::Value& x, Ctx c) -> Result<IdlArrayLen> {
        auto n = Reader<std::uint64_t>::read(x, c);
        if (!n) return fail(std::move(n.error()));
        return IdlArrayLen{IdlArrayLen::Kind::Value, {}, *n};
      });
}

Result<IdlGenericArg> Reader<IdlGenericArg>::read(const json::Value& v, Ctx) {
  static constexpr std::string_view kNames[] = {"type", "const"};
  static constexpr auto kType = record<IdlGenericArg>("struct variant IdlGenericArg::Type",
                                                      required("type", &IdlGenericArg::type));
  static constexpr auto kConst = record<IdlGenericArg>("struct variant IdlGenericArg::Const",
                                                       required("value", &IdlGenericArg::value));
  return read_tagged<IdlGenericArg>(v, "IdlGenericArg", kNames, kType, kConst);
}

Result<IdlDefinedFields> Reader<IdlDefinedFields>::read(const json::Value& v, Ctx) {
  return untagged<IdlDefinedFields>(
      v, "IdlDefinedFields",
      [](const json::Value& x, Ctx c) -> Result<IdlDefinedFields> {
        auto named = Reader<std::vector<IdlField>>::read(x, c);
        if (!named) return fail(std::move(named.error()));
        return IdlDefinedFields{IdlDefinedFields::Kind::Named, std::move(*named), {}};
      },
      [](const json::Value& x, Ctx c) -> Result<IdlDefinedFields> {
        auto tuple = Reader<std::vector<IdlType>>::read(x, c);
        if (!tuple) return fail(std::move(tuple.error()));
        return IdlDefinedFields{IdlDefinedFields::Kind::Tuple, {}, std::move(*tuple)};
      });
}

Result<IdlTypeDefTy> Reader<IdlTypeDefTy>::read(const json::Value& v, Ctx) {
  static constexpr std::string_view kNames[] = {"struct", "enum", "type"};
  static constexpr auto kStruct = record<IdlTypeDefTy>("struct variant IdlTypeDefTy::Struct",
                                                       nullable("fields", &IdlTypeDefTy::fields));
  static constexpr auto kEnum = record<IdlTypeDefTy>("struct variant IdlTypeDefTy::Enum",
                                                     required("variants", &IdlTypeDefTy::variants));
  static constexpr auto kAlias = record<IdlTypeDefTy>("struct variant IdlTypeDefTy::Type",
                                                      required("alias", &IdlTypeDefTy::alias));
  return read_tagged<IdlTypeDefTy>(v, "IdlTypeDefTy", kNames, kStruct, kEnum, kAlias);
}

Result<IdlTypeDefGeneric> Reader<IdlTypeDefGeneric>::read(const json::Value& v, Ctx) {
  static constexpr std::string_view kNames[] = {"type", "const"};
  static constexpr auto kType = record<IdlTypeDefGeneric>("struct variant IdlTypeDefGeneric::Type",
                                                          required("name", &IdlTypeDefGeneric::name));
  static constexpr auto kConst = record<IdlTypeDefGeneric>(
      "struct variant IdlTypeDefGeneric::Const", required("name", &IdlTypeDefGeneric::name),
      required("type", &IdlTypeDefGeneric::type));
  return read_tagged<IdlTypeDefGeneric>(v, "IdlTypeDefGeneric", kNames, kType, kConst);
}

Result<IdlRepr> Reader<IdlRepr>::read(const json::Value& v, Ctx) {
  static constexpr std::string_view kNames[] = {"rust", "c", "transparent"};
  auto tag = internal_tag(v, "IdlRepr", kNames);
  if (!tag) return fail(std::move(tag.error()));
  IdlRepr out;
  out.kind = static_cast<IdlRepr::Kind>(tag->index);
  // `transparent` carries nothing; whatever else the object holds is ignored.
  if (out.kind == IdlRepr::Kind::Transparent) return out;
  auto r = read_record_from(out.modifier, kRecord<IdlReprModifier>, tag->rest, Ctx::Content);
  if (!r) return fail(std::move(r.error()));
  return out;
}

Result<IdlSerialization> Reader<IdlSerialization>::read(const json::Value& v, Ctx ctx) {
  static constexpr std::string_view kNames[] = {"borsh", "bytemuck", "bytemuckunsafe", "custom"};
  auto tag = external_tag(v, kNames);
  if (!tag) return fail(std::move(tag.error()));
  IdlSerialization out;
  out.kind = static_cast<IdlSerialization::Kind>(tag->index);
  if (out.kind != IdlSerialization::Kind::Custom) {
    auto r = unit_data(*tag);
    if (!r) return fail(std::move(r.error()));
    return out;
  }
  auto data = newtype_data(*tag);
  if (!data) return fail(std::move(data.error()));
  auto custom = Reader<std::string>::read(**data, ctx);
  if (!custom) return fail(std::move(custom.error()));
  out.custom = std::move(*custom);
  return out;
}

Result<IdlSeed> Reader<IdlSeed>::read(const json::Value& v, Ctx) {
  static constexpr std::string_view kNames[] = {"const", "arg", "account"};
  static constexpr auto kConst = record<IdlSeed>("struct IdlSeedConst", required("value", &IdlSeed::value));
  static constexpr auto kArg = record<IdlSeed>("struct IdlSeedArg", required("path", &IdlSeed::path));
  static constexpr auto kAccount = record<IdlSeed>("struct IdlSeedAccount", required("path", &IdlSeed::path),
                                                   nullable("account", &IdlSeed::account));
  return read_tagged<IdlSeed>(v, "IdlSeed", kNames, kConst, kArg, kAccount);
}

Result<IdlInstructionAccountItem> Reader<IdlInstructionAccountItem>::read(const json::Value& v, Ctx) {
  using Item = IdlInstructionAccountItem;
  return untagged<Item>(
      v, "IdlInstructionAccountItem",
      [](const json::Value& x, Ctx c) -> Result<Item> {
        auto composite = Reader<IdlInstructionAccounts>::read(x, c);
        if (!composite) return fail(std::move(composite.error()));
        return Item{Item::Kind::Composite, std::move(*composite), {}};
      },
      [](const json::Value& x, Ctx c) -> Result<Item> {
        auto single = Reader<IdlInstructionAccount>::read(x, c);
        if (!single) return fail(std::move(single.error()));
        return Item{Item::Kind::Single, {}, std::move(*single)};
      });
}

}  // namespace brisquel::idl::reading

namespace brisquel::idl {

Result<Idl> read_idl(const json::Value& document) { return reading::read<Idl>(document, reading::Ctx::Value); }

Result<IdlType> read_type(const json::Value& value) { return reading::read<IdlType>(value, reading::Ctx::Value); }

Result<IdlTypeDef> read_type_def(const json::Value& value) {
  return reading::read<IdlTypeDef>(value, reading::Ctx::Value);
}

}  // namespace brisquel::idl
