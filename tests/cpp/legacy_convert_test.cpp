// Conversion of legacy documents into the current model, through the loader's
// legacy path (read, then convert).
#include <gtest/gtest.h>

#include <string>

#include "idl/json.hpp"
#include "idl/legacy/disc.hpp"
#include "idl/legacy/load.hpp"
#include "idl/loader.hpp"

using namespace brisquel;
using namespace brisquel::idl;

namespace {

// A legacy document with an address and `members` appended.
std::string doc(const std::string& members = "") {
  std::string s = R"({"version": "1.2.3", "name": "prog", "instructions": [], "metadata": {"address": "Prog1111"})";
  if (!members.empty()) s += ", " + members;
  return s + "}";
}

Result<Idl> load_text(const std::string& text) {
  auto v = json::parse(text);
  if (!v) return fail("parse: " + v.error());
  return legacy::load(*v);
}

Idl load_ok(const std::string& text) {
  auto idl = load_text(text);
  EXPECT_TRUE(idl) << idl.error();
  return idl ? std::move(*idl) : Idl{};
}

IdlType scalar(IdlType::Kind k) {
  IdlType t;
  t.kind = k;
  return t;
}

IdlField field(std::string name, IdlType type) { return {std::move(name), {}, std::move(type)}; }

IdlDefinedFields named(std::vector<IdlField> fields) {
  return {IdlDefinedFields::Kind::Named, std::move(fields), {}};
}

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

class LegacyAddress : public testing::TestWithParam<const char*> {};

TEST_P(LegacyAddress, MissingAddressFailsWithTheOneMessage) {
  std::string text = R"({"version": "1", "name": "p", "instructions": [])";
  text += GetParam();
  text += "}";
  auto idl = load_text(text);
  ASSERT_FALSE(idl);
  EXPECT_EQ(idl.error(), "Program id missing in `idl.metadata.address` field");
}

INSTANTIATE_TEST_SUITE_P(Metadata, LegacyAddress,
                         testing::Values("", R"(, "metadata": null)", R"(, "metadata": "Prog1111")",
                                         R"(, "metadata": ["Prog1111"])", R"(, "metadata": {"origin": "x"})",
                                         R"(, "metadata": {"address": 5})", R"(, "metadata": {"address": null})"));

TEST(LegacyConvert, DocumentHeader) {
  Idl idl = load_ok(doc(R"("docs": ["d"], "metadata": {"address": "", "spec": null})"));
  EXPECT_EQ(idl.address, "");
  EXPECT_EQ(idl.metadata.name, "prog");
  EXPECT_EQ(idl.metadata.version, "1.2.3");
  EXPECT_EQ(idl.metadata.spec, "0.1.0");
  EXPECT_FALSE(idl.metadata.description);
  EXPECT_EQ(idl.docs, Docs{"d"});
}

TEST(LegacyConvert, EventsBecomeDiscriminatorsAndTrailingStructs) {
  Idl idl = load_ok(doc(R"(
    "types": [{"name": "A", "type": {"kind": "struct", "fields": []}},
              {"name": "E", "generics": ["T"], "type": {"kind": "alias", "value": "u8"}}],
    "accounts": [{"name": "C", "type": {"kind": "struct", "fields": [{"name": "ownerKey", "type": "publicKey"}]}}],
    "events": [{"name": "MyEvent", "fields": [{"name": "amountIn", "type": "u64", "index": false}]},
               {"name": "E", "fields": []}])"));

  ASSERT_EQ(idl.events.size(), 2u);
  EXPECT_EQ(idl.events[0].name, "MyEvent");
  EXPECT_EQ(idl.events[0].discriminator, (Bytes{0x60, 0xb8, 0xc5, 0xf3, 0x8b, 0x02, 0x5a, 0x94}));
  EXPECT_EQ(idl.events[1].discriminator, legacy::get_disc("event", "E"));
  ASSERT_EQ(idl.accounts.size(), 1u);
  EXPECT_EQ(idl.accounts[0].name, "C");
  EXPECT_EQ(idl.accounts[0].discriminator, legacy::get_disc("account", "C"));

  // types, then accounts, then events; the name "E" twice, the event's last.
  std::vector<std::string> names;
  for (const auto& t : idl.types) names.push_back(t.name);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "E", "C", "MyEvent", "E"}));

  // An empty legacy struct has no field list; an empty event has an empty one.
  EXPECT_FALSE(idl.types[0].type.fields);
  EXPECT_EQ(idl.types[1].type.kind, IdlTypeDefTy::Kind::Type);
  EXPECT_EQ(idl.types[1].type.alias, scalar(IdlType::Kind::U8));
  EXPECT_TRUE(idl.types[1].generics.empty());
  EXPECT_EQ(idl.types[2].type.fields, named({field("owner_key", scalar(IdlType::Kind::Pubkey))}));
  EXPECT_EQ(idl.types[3].type.fields, named({field("amount_in", scalar(IdlType::Kind::U64))}));
  EXPECT_EQ(idl.types[4].type.fields, named({}));
  EXPECT_EQ(idl.types[4].type.kind, IdlTypeDefTy::Kind::Struct);
  EXPECT_EQ(idl.types[3].serialization.kind, IdlSerialization::Kind::Borsh);
}

TEST(LegacyConvert, TypesAtAnyDepth) {
  Idl idl = load_ok(doc(R"("constants": [{"name": "C", "type": {"vec": {"option": "publicKey"}}, "value": "[]"}],
    "types": [{"name": "T", "type": {"kind": "struct", "fields": [
      {"name": "pool", "type": {"defined": "Pool"}},
      {"name": "generic", "type": {"definedWithTypeArgs": {"name": "Pool", "args": [{"type": "publicKey"}, {"value": "3"}, {"generic": "T"}]}}},
      {"name": "fixed", "type": {"array": ["u8", 32]}},
      {"name": "sized", "type": {"genericLenArray": [{"generic": "T"}, "N"]}}]}}])"));

  IdlType vec_opt_pk;
  vec_opt_pk.kind = IdlType::Kind::Vec;
  IdlType opt_pk;
  opt_pk.kind = IdlType::Kind::Option;
  opt_pk.inner = scalar(IdlType::Kind::Pubkey);
  vec_opt_pk.inner = opt_pk;
  ASSERT_EQ(idl.constants.size(), 1u);
  EXPECT_EQ(idl.constants[0].type, vec_opt_pk);
  EXPECT_EQ(idl.constants[0].value, "[]");
  EXPECT_TRUE(idl.constants[0].docs.empty());

  const auto& fields = idl.types.at(0).type.fields->named;
  ASSERT_EQ(fields.size(), 4u);
  IdlType pool;
  pool.kind = IdlType::Kind::Defined;
  pool.name = "Pool";
  EXPECT_EQ(fields[0].type, pool);

  IdlType generic_t;
  generic_t.kind = IdlType::Kind::Generic;
  generic_t.name = "T";
  IdlType with_args = pool;
  with_args.generics = {
      {IdlGenericArg::Kind::Type, scalar(IdlType::Kind::Pubkey), ""},
      {IdlGenericArg::Kind::Const, {}, "3"},
      {IdlGenericArg::Kind::Type, generic_t, ""},
  };
  EXPECT_EQ(fields[1].type, with_args);

  IdlType fixed;
  fixed.kind = IdlType::Kind::Array;
  fixed.inner = scalar(IdlType::Kind::U8);
  fixed.len = {IdlArrayLen::Kind::Value, "", 32};
  EXPECT_EQ(fields[2].type, fixed);

  IdlType sized;
  sized.kind = IdlType::Kind::Array;
  sized.inner = generic_t;
  sized.len = {IdlArrayLen::Kind::Generic, "N", 0};
  EXPECT_EQ(fields[3].type, sized);
}

TEST(LegacyConvert, EnumVariantsKeepTheirNames) {
  Idl idl = load_ok(doc(R"("types": [{"name": "Side", "type": {"kind": "enum", "variants": [
      {"name": "Bid"}, {"name": "askLimit", "fields": [{"name": "maxPrice", "type": "u64"}]},
      {"name": "Pair", "fields": ["publicKey", "u8"]}]}}])"));
  const auto& vs = idl.types.at(0).type.variants;
  ASSERT_EQ(vs.size(), 3u);
  EXPECT_EQ(vs[0].name, "Bid");
  EXPECT_FALSE(vs[0].fields);
  EXPECT_EQ(vs[1].name, "askLimit");
  EXPECT_EQ(vs[1].fields, named({field("max_price", scalar(IdlType::Kind::U64))}));
  IdlDefinedFields tuple{IdlDefinedFields::Kind::Tuple, {}, {scalar(IdlType::Kind::Pubkey), scalar(IdlType::Kind::U8)}};
  EXPECT_EQ(vs[2].fields, tuple);
}

TEST(LegacyConvert, Instructions) {
  Idl idl = load_ok(doc(R"("instructions": [{"name": "setAuthority", "docs": ["x"],
      "accounts": [
        {"name": "poolState", "isMut": true, "isSigner": false, "relations": ["authorityKey"]},
        {"name": "adminGroup", "accounts": [{"name": "newAuthority", "isMut": false, "isSigner": true, "isOptional": true}]}],
      "args": [{"name": "newAuthority", "type": "publicKey"}], "returns": {"option": "u8"}}],
    "errors": [{"code": 6000, "name": "NotAuthorized"}, {"code": 6001, "name": "Bad", "msg": "bad"}])"));
  ASSERT_EQ(idl.instructions.size(), 1u);
  const IdlInstruction& ix = idl.instructions[0];
  EXPECT_EQ(ix.name, "set_authority");
  EXPECT_EQ(ix.discriminator, (Bytes{0x85, 0xfa, 0x25, 0x15, 0x6e, 0xa3, 0x1a, 0x79}));
  EXPECT_EQ(ix.docs, Docs{"x"});
  EXPECT_EQ(ix.args, std::vector<IdlField>{field("new_authority", scalar(IdlType::Kind::Pubkey))});
  ASSERT_TRUE(ix.returns);
  EXPECT_EQ(ix.returns->kind, IdlType::Kind::Option);

  ASSERT_EQ(ix.accounts.size(), 2u);
  const IdlInstructionAccount& pool = ix.accounts[0].single;
  EXPECT_EQ(ix.accounts[0].kind, IdlInstructionAccountItem::Kind::Single);
  EXPECT_EQ(pool.name, "pool_state");
  EXPECT_TRUE(pool.writable);
  EXPECT_FALSE(pool.signer);
  EXPECT_FALSE(pool.optional);
  EXPECT_FALSE(pool.address);
  EXPECT_EQ(pool.relations, std::vector<std::string>{"authorityKey"});

  ASSERT_EQ(ix.accounts[1].kind, IdlInstructionAccountItem::Kind::Composite);
  EXPECT_EQ(ix.accounts[1].composite.name, "admin_group");
  const IdlInstructionAccount& inner = ix.accounts[1].composite.accounts.at(0).single;
  EXPECT_EQ(inner.name, "new_authority");
  EXPECT_TRUE(inner.signer);
  EXPECT_TRUE(inner.optional);

  ASSERT_EQ(idl.errors.size(), 2u);
  EXPECT_EQ(idl.errors[0], (IdlErrorCode{6000, "NotAuthorized", std::nullopt}));
  EXPECT_EQ(idl.errors[1], (IdlErrorCode{6001, "Bad", "bad"}));
}

// One account with the given seeds (and optional programId); its converted PDA.
std::optional<IdlPda> pda_of(const std::string& seeds, const std::string& program = "") {
  std::string pda = R"({"seeds": [)" + seeds + "]";
  if (!program.empty()) pda += R"(, "programId": )" + program;
  pda += "}";
  Idl idl = load_ok(doc(R"("instructions": [{"name": "ix", "args": [], "accounts": [
      {"name": "a", "isMut": false, "isSigner": false, "pda": )" + pda + "}]}]"));
  return idl.instructions.at(0).accounts.at(0).single.pda;
}

IdlSeed const_seed(std::string_view bytes) { return {IdlSeed::Kind::Const, bytes_of(bytes), "", std::nullopt}; }

TEST(LegacyConvert, PdaSeeds) {
  auto string_seed = pda_of(R"({"kind": "const", "type": "string", "value": "abc"})");
  ASSERT_TRUE(string_seed);
  EXPECT_EQ(string_seed->seeds, std::vector<IdlSeed>{const_seed("\"abc\"")});
  EXPECT_FALSE(string_seed->program);

  // The value's compact JSON text, whatever its kind.
  struct Case {
    const char* value;
    std::string_view bytes;
  };
  const Case cases[] = {
      {R"("a\"b\\c\n\t\u0001é/")", "\"a\\\"b\\\\c\\n\\t\\u0001é/\""},
      {"null", "null"},
      {"5", "5"},
      {R"([1, "x"])", "[1,\"x\"]"},
  };
  for (const auto& c : cases) {
    auto pda = pda_of(std::string(R"({"kind": "const", "type": "string", "value": )") + c.value + "}");
    ASSERT_TRUE(pda) << c.value;
    EXPECT_EQ(pda->seeds, std::vector<IdlSeed>{const_seed(c.bytes)}) << c.value;
  }

  auto mixed = pda_of(R"({"kind": "arg", "type": "u64", "path": "amount"},
                         {"kind": "account", "type": "publicKey", "path": "pool.mint"},
                         {"kind": "account", "type": "publicKey", "account": "Pool", "path": "pool.key"})",
                      R"({"kind": "account", "type": "publicKey", "path": "prog"})");
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->seeds, (std::vector<IdlSeed>{
                              {IdlSeed::Kind::Arg, {}, "amount", std::nullopt},
                              {IdlSeed::Kind::Account, {}, "pool.mint", std::nullopt},
                              {IdlSeed::Kind::Account, {}, "pool.key", "Pool"},
                          }));
  EXPECT_EQ(mixed->program, (IdlSeed{IdlSeed::Kind::Account, {}, "prog", std::nullopt}));
}

TEST(LegacyConvert, UnconvertibleSeedDropsOnlyThePda) {
  EXPECT_FALSE(pda_of(R"({"kind": "arg", "type": "u64", "path": "x"}, {"kind": "const", "type": "u8", "value": 1})"));
  EXPECT_FALSE(pda_of(R"({"kind": "arg", "type": "u64", "path": "x"})",
                      R"({"kind": "const", "type": {"array": ["u8", 2]}, "value": [1, 2]})"));
}

TEST(LegacyConvert, LoaderSendsUnversionedDocumentsHere) {
  auto idl = convert_idl(doc(R"("events": [{"name": "MyEvent", "fields": []}])"));
  ASSERT_TRUE(idl) << idl.error();
  EXPECT_EQ(idl->address, "Prog1111");
  EXPECT_EQ(idl->events.at(0).discriminator, legacy::get_disc("event", "MyEvent"));

  auto missing = convert_idl(R"({"metadata": {"spec": null}})");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "missing field `version`");
}

}  // namespace
