#include "idl/legacy/convert.hpp"

#include <string_view>
#include <utility>

#include "idl/legacy/disc.hpp"
#include "idl/legacy/snake_case.hpp"
#include "idl/loader.hpp"

namespace brisquel::idl::legacy {
namespace {

using Kind = IdlType::Kind;
using CurKind = idl::IdlType::Kind;

template <class Out, class In, class F>
std::vector<Out> map_all(std::vector<In>&& in, F&& f) {
  std::vector<Out> out;
  out.reserve(in.size());
  for (In& item : in) out.push_back(f(std::move(item)));
  return out;
}

Docs docs_or_empty(std::optional<Docs>&& docs) { return docs ? std::move(*docs) : Docs{}; }

idl::IdlGenericArg convert_type_arg(IdlDefinedTypeArg arg) {
  idl::IdlGenericArg out;
  switch (arg.kind) {
    case IdlDefinedTypeArg::Kind::Generic: {
      idl::IdlType generic;
      generic.kind = CurKind::Generic;
      generic.name = std::move(arg.text);
      out.kind = idl::IdlGenericArg::Kind::Type;
      out.type = std::move(generic);
      break;
    }
    case IdlDefinedTypeArg::Kind::Value:
      out.kind = idl::IdlGenericArg::Kind::Const;
      out.value = std::move(arg.text);
      break;
    case IdlDefinedTypeArg::Kind::Type:
      out.kind = idl::IdlGenericArg::Kind::Type;
      out.type = convert_type(std::move(*arg.type));
      break;
  }
  return out;
}

idl::IdlField convert_field(IdlField f) {
  return {to_snake_case(f.name), docs_or_empty(std::move(f.docs)), convert_type(std::move(f.type))};
}

idl::IdlField convert_event_field(IdlEventField f) {
  return {to_snake_case(f.name), {}, convert_type(std::move(f.type))};
}

// A PDA whose seeds do not all convert is dropped without a word: the account
// itself still converts.
std::optional<idl::IdlPda> convert_pda(IdlPda pda) {
  idl::IdlPda out;
  out.seeds.reserve(pda.seeds.size());
  for (IdlSeed& seed : pda.seeds) {
    auto converted = convert_seed(std::move(seed));
    if (!converted) return std::nullopt;
    out.seeds.push_back(std::move(*converted));
  }
  if (pda.program_id) {
    auto program = convert_seed(std::move(*pda.program_id));
    if (!program) return std::nullopt;
    out.program = std::move(*program);
  }
  return out;
}

idl::IdlInstructionAccountItem convert_account_item(IdlAccountItem item) {
  idl::IdlInstructionAccountItem out;
  if (item.kind == IdlAccountItem::Kind::Composite) {
    out.kind = idl::IdlInstructionAccountItem::Kind::Composite;
    out.composite.name = to_snake_case(item.composite.name);
    out.composite.accounts =
        map_all<idl::IdlInstructionAccountItem>(std::move(item.composite.accounts), convert_account_item);
    return out;
  }
  IdlAccount& a = item.single;
  out.kind = idl::IdlInstructionAccountItem::Kind::Single;
  idl::IdlInstructionAccount& s = out.single;
  s.name = to_snake_case(a.name);
  s.docs = docs_or_empty(std::move(a.docs));
  s.writable = a.is_mut;
  s.signer = a.is_signer;
  s.optional = a.is_optional.value_or(false);
  if (a.pda) s.pda = convert_pda(std::move(*a.pda));
  s.relations = std::move(a.relations);
  return out;
}

idl::IdlInstruction convert_instruction(IdlInstruction ix) {
  idl::IdlInstruction out;
  out.name = to_snake_case(ix.name);
  out.docs = docs_or_empty(std::move(ix.docs));
  out.discriminator = get_disc("global", out.name);
  out.accounts = map_all<idl::IdlInstructionAccountItem>(std::move(ix.accounts), convert_account_item);
  out.args = map_all<idl::IdlField>(std::move(ix.args), convert_field);
  if (ix.returns) out.returns = convert_type(std::move(*ix.returns));
  return out;
}

idl::IdlEnumVariant convert_variant(IdlEnumVariant v) {
  idl::IdlEnumVariant out;
  out.name = std::move(v.name);
  if (v.fields) {
    idl::IdlDefinedFields& f = out.fields.emplace();
    if (v.fields->kind == EnumFields::Kind::Named) {
      f.kind = idl::IdlDefinedFields::Kind::Named;
      f.named = map_all<idl::IdlField>(std::move(v.fields->named), convert_field);
    } else {
      f.kind = idl::IdlDefinedFields::Kind::Tuple;
      f.tuple = map_all<idl::IdlType>(std::move(v.fields->tuple), convert_type);
    }
  }
  return out;
}

idl::IdlTypeDefTy convert_body(IdlTypeDefinitionTy body) {
  idl::IdlTypeDefTy out;
  switch (body.kind) {
    case IdlTypeDefinitionTy::Kind::Struct:
      out.kind = idl::IdlTypeDefTy::Kind::Struct;
      // An empty field list becomes a struct without one.
      if (!body.fields.empty()) {
        idl::IdlDefinedFields& f = out.fields.emplace();
        f.kind = idl::IdlDefinedFields::Kind::Named;
        f.named = map_all<idl::IdlField>(std::move(body.fields), convert_field);
      }
      break;
    case IdlTypeDefinitionTy::Kind::Enum:
      out.kind = idl::IdlTypeDefTy::Kind::Enum;
      out.variants = map_all<idl::IdlEnumVariant>(std::move(body.variants), convert_variant);
      break;
    case IdlTypeDefinitionTy::Kind::Alias:
      out.kind = idl::IdlTypeDefTy::Kind::Type;
      out.alias = convert_type(std::move(body.value));
      break;
  }
  return out;
}

// Generics are not carried over; serialization and repr take their defaults.
idl::IdlTypeDef convert_type_def(IdlTypeDefinition def) {
  idl::IdlTypeDef out;
  out.name = std::move(def.name);
  out.docs = docs_or_empty(std::move(def.docs));
  out.type = convert_body(std::move(def.type));
  return out;
}

// An event's layout: always a named field list, even an empty one.
idl::IdlTypeDef event_type_def(IdlEvent ev) {
  idl::IdlTypeDef out;
  out.name = std::move(ev.name);
  idl::IdlDefinedFields& f = out.type.fields.emplace();
  f.kind = idl::IdlDefinedFields::Kind::Named;
  f.named = map_all<idl::IdlField>(std::move(ev.fields), convert_event_field);
  return out;
}

idl::IdlConst convert_const(IdlConst c) {
  return {std::move(c.name), {}, convert_type(std::move(c.type)), std::move(c.value)};
}

const std::string* program_address(const std::optional<json::Value>& metadata) {
  if (!metadata) return nullptr;
  const json::Value* address = metadata->find("address");
  return address && address->is_string() ? &address->as_string() : nullptr;
}

}  // namespace

idl::IdlType convert_type(IdlType t) {
  idl::IdlType out;
  switch (t.kind) {
    case Kind::PublicKey:
      out.kind = CurKind::Pubkey;
      break;
    case Kind::Defined:
      out.kind = CurKind::Defined;
      out.name = std::move(t.name);
      break;
    case Kind::Option:
      out.kind = CurKind::Option;
      out.inner = convert_type(std::move(*t.inner));
      break;
    case Kind::Vec:
      out.kind = CurKind::Vec;
      out.inner = convert_type(std::move(*t.inner));
      break;
    case Kind::Array:
      out.kind = CurKind::Array;
      out.inner = convert_type(std::move(*t.inner));
      out.len.kind = idl::IdlArrayLen::Kind::Value;
      out.len.value = t.len;
      break;
    case Kind::GenericLenArray:
      out.kind = CurKind::Array;
      out.inner = convert_type(std::move(*t.inner));
      out.len.kind = idl::IdlArrayLen::Kind::Generic;
      out.len.generic = std::move(t.name);
      break;
    case Kind::Generic:
      out.kind = CurKind::Generic;
      out.name = std::move(t.name);
      break;
    case Kind::DefinedWithTypeArgs:
      out.kind = CurKind::Defined;
      out.name = std::move(t.name);
      out.generics = map_all<idl::IdlGenericArg>(std::move(t.args), convert_type_arg);
      break;
    default:
      // bool .. string: the two models list the scalars in the same order.
      static_assert(int(Kind::String) == int(CurKind::String) && int(Kind::Bool) == int(CurKind::Bool));
      out.kind = static_cast<CurKind>(t.kind);
      break;
  }
  return out;
}

Result<idl::IdlSeed> convert_seed(IdlSeed seed) {
  idl::IdlSeed out;
  switch (seed.kind) {
    case IdlSeed::Kind::Const: {
      if (seed.type.kind != Kind::String) return fail("Const seed conversion not supported");
      // The seed bytes are the value's compact JSON text, quotes included.
      const std::string text = json::to_compact(seed.value);
      out.kind = idl::IdlSeed::Kind::Const;
      out.value.assign(text.begin(), text.end());
      break;
    }
    case IdlSeed::Kind::Arg:
      out.kind = idl::IdlSeed::Kind::Arg;
      out.path = std::move(seed.path);
      break;
    case IdlSeed::Kind::Account:
      out.kind = idl::IdlSeed::Kind::Account;
      out.path = std::move(seed.path);
      out.account = std::move(seed.account);
      break;
  }
  return out;
}

Result<idl::Idl> try_from(Idl legacy, std::optional<std::string_view> given) {
  const std::string* address = program_address(legacy.metadata);
  if (!address && !given) return fail("Program id missing in `idl.metadata.address` field");

  idl::Idl out;
  out.address = given ? std::string(*given) : *address;
  out.metadata.name = std::move(legacy.name);
  out.metadata.version = std::move(legacy.version);
  out.metadata.spec = std::string(kSpecVersion);
  out.docs = docs_or_empty(std::move(legacy.docs));
  out.instructions = map_all<idl::IdlInstruction>(std::move(legacy.instructions), convert_instruction);

  out.accounts.reserve(legacy.accounts.size());
  for (const IdlTypeDefinition& account : legacy.accounts)
    out.accounts.push_back({account.name, get_disc("account", account.name)});

  std::vector<IdlEvent> events = legacy.events ? std::move(*legacy.events) : std::vector<IdlEvent>{};
  out.events.reserve(events.size());
  for (const IdlEvent& ev : events) out.events.push_back({ev.name, get_disc("event", ev.name)});

  if (legacy.errors) {
    out.errors.reserve(legacy.errors->size());
    for (IdlErrorCode& e : *legacy.errors) out.errors.push_back({e.code, std::move(e.name), std::move(e.msg)});
  }

  // Types, then account layouts, then event layouts; equal names are all kept.
  out.types.reserve(legacy.types.size() + legacy.accounts.size() + events.size());
  for (IdlTypeDefinition& def : legacy.types) out.types.push_back(convert_type_def(std::move(def)));
  for (IdlTypeDefinition& def : legacy.accounts) out.types.push_back(convert_type_def(std::move(def)));
  for (IdlEvent& ev : events) out.types.push_back(event_type_def(std::move(ev)));

  out.constants = map_all<idl::IdlConst>(std::move(legacy.constants), convert_const);
  return out;
}

}  // namespace brisquel::idl::legacy
