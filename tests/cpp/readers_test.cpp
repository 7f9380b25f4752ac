// The current model's reading rules, message by message, and whole documents.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "idl/json.hpp"
#include "idl/loader.hpp"
#include "idl/readers.hpp"

using namespace brisquel;
using namespace brisquel::idl;

namespace {

struct Row {
  const char* json;
  const char* error;  // "" when the value must read
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << r.json; }

template <class F>
std::string outcome(const char* text, F reader) {
  auto v = json::parse(text);
  if (!v) return "parse: " + v.error();
  auto r = reader(*v);
  return r ? std::string() : r.error();
}

constexpr const char* kAllTypes =
    "`bool`, `u8`, `i8`, `u16`, `i16`, `u32`, `i32`, `f32`, `u64`, `i64`, `f64`, `u128`, `i128`, "
    "`u256`, `i256`, `bytes`, `string`, `pubkey`, `option`, `vec`, `array`, `defined`, `generic`";

class TypeRows : public testing::TestWithParam<Row> {};

TEST_P(TypeRows, ReadsOrFailsWithTheExactMessage) {
  EXPECT_EQ(outcome(GetParam().json, read_type), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    IdlType, TypeRows,
    testing::Values(
        Row{R"("u8")", ""}, Row{R"({"u8": null})", ""},
        Row{R"({"u8": 1})", "invalid type: integer `1`, expected unit"},
        Row{R"("option")", "invalid type: unit variant, expected newtype variant"},
        Row{R"("generic")", "invalid type: unit variant, expected newtype variant"},
        Row{R"({"option": {"vec": "pubkey"}})", ""}, Row{R"({"generic": "T"})", ""},
        Row{R"({"generic": 1})", "invalid type: integer `1`, expected a string"},
        Row{R"({"array": ["u8", 32]})", ""}, Row{R"({"array": ["u8", {"generic": "N"}]})", ""},
        Row{R"({"array": ["u8"]})", "invalid length 1, expected tuple variant IdlType::Array with 2 elements"},
        Row{R"({"array": ["u8", 1, 2]})", "invalid length 3, expected fewer elements in array"},
        Row{R"({"array": []})", "invalid type: null, expected tuple variant IdlType::Array"},
        Row{R"({"array": "u8"})", "invalid type: string \"u8\", expected tuple variant"},
        Row{R"("array")", "invalid type: unit variant, expected tuple variant"},
        Row{R"({"array": ["u8", -1]})", "data did not match any variant of untagged enum IdlArrayLen"},
        Row{R"({"array": ["u8", 4.0]})", "data did not match any variant of untagged enum IdlArrayLen"},
        Row{R"({"array": ["u8", "4"]})", "data did not match any variant of untagged enum IdlArrayLen"},
        Row{R"({"array": ["u8", {"generic": "N", "x": 1}]})",
            "data did not match any variant of untagged enum IdlArrayLen"},
        Row{R"({"array": ["u8", 18446744073709551615]})", ""},
        Row{R"({"defined": {"name": "Pool"}})", ""}, Row{R"({"defined": ["Pool"]})", "invalid type: sequence, expected struct variant"},
        Row{R"({"defined": {}})", "missing field `name`"},
        Row{R"({"defined": "Pool"})", "invalid type: string \"Pool\", expected struct variant"},
        Row{R"("defined")", "invalid type: unit variant, expected struct variant"},
        Row{R"({"defined": {"name": "P", "generics": [{"kind": "type", "type": "u8"}, {"kind": "const", "value": "3"}]}})", ""},
        Row{R"({"defined": {"name": "P", "generics": [{"kind": "lol"}]}})", "unknown variant `lol`, expected `type` or `const`"},
        Row{R"({"defined": {"name": "P", "generics": [{"type": "u8"}]}})", "missing field `kind`"},
        Row{R"({"defined": {"name": "P", "generics": ["u8"]}})",
            "invalid type: string \"u8\", expected internally tagged enum IdlGenericArg"},
        Row{R"({"defined": {"name": "P", "generics": [{"kind": "const"}]}})", "missing field `value`"},
        Row{R"({})", "invalid value: map, expected map with a single key"},
        Row{R"({"u8": null, "u16": null})", "invalid value: map, expected map with a single key"},
        Row{R"(5)", "invalid type: integer `5`, expected string or map"},
        Row{R"(null)", "invalid type: null, expected string or map"},
        Row{R"(-1.5)", "invalid type: floating point `-1.5`, expected string or map"},
        Row{R"(true)", "invalid type: boolean `true`, expected string or map"},
        Row{R"(["u8"])", "invalid type: sequence, expected string or map"}));

TEST(IdlType, UnknownNamesListAllVariantsInOrder) {
  EXPECT_EQ(outcome(R"("U8")", read_type), std::string("unknown variant `U8`, expected one of ") + kAllTypes);
  EXPECT_EQ(outcome(R"("publicKey")", read_type),
            std::string("unknown variant `publicKey`, expected one of ") + kAllTypes);
}

TEST(IdlType, ReadsEveryVariantIntoItsKind) {
  const char* names[] = {"bool", "u8",   "i8",   "u16",  "i16",   "u32",    "i32",    "f32",   "u64",
                         "i64",  "f64",  "u128", "i128", "u256",  "i256",   "bytes",  "string", "pubkey"};
  for (int i = 0; i < 18; ++i) {
    auto v = json::parse(std::string("\"") + names[i] + "\"");
    ASSERT_TRUE(v);
    auto t = read_type(*v);
    ASSERT_TRUE(t) << names[i];
    EXPECT_EQ(int(t->kind), i);
  }
  auto v = json::parse(R"({"array": [{"defined": {"name": "P"}}, {"generic": "N"}]})");
  auto t = read_type(*v);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->kind, IdlType::Kind::Array);
  EXPECT_EQ(t->inner->kind, IdlType::Kind::Defined);
  EXPECT_EQ(t->inner->name, "P");
  EXPECT_EQ(t->len.kind, IdlArrayLen::Kind::Generic);
  EXPECT_EQ(t->len.generic, "N");
}

class TypeDefRows : public testing::TestWithParam<Row> {};

TEST_P(TypeDefRows, ReadsOrFailsWithTheExactMessage) {
  EXPECT_EQ(outcome(GetParam().json, read_type_def), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    IdlTypeDef, TypeDefRows,
    testing::Values(
        Row{R"({"name": "A", "type": {"kind": "struct"}})", ""},
        Row{R"({"name": "A", "type": {"kind": "struct", "fields": null}})", ""},
        Row{R"({"name": "A", "type": {"kind": "Struct"}})", "unknown variant `Struct`, expected one of `struct`, `enum`, `type`"},
        Row{R"({"name": "A", "type": {"kind": "struct", "fields": [{"name": "a", "type": "u8"}, "u64"]}})",
            "data did not match any variant of untagged enum IdlDefinedFields"},
        Row{R"({"name": "A", "type": {"kind": "struct", "fields": [{"name": "a", "type": "U8"}]}})",
            "data did not match any variant of untagged enum IdlDefinedFields"},
        Row{R"({"name": "A", "type": {"kind": "struct", "fields": [{"name": "a", "type": {"array": ["u8", -1]}}]}})",
            "data did not match any variant of untagged enum IdlDefinedFields"},
        Row{R"({"name": "A", "serialization": null, "type": {"kind": "struct"}})", "invalid type: null, expected string or map"},
        Row{R"({"name": "A", "serialization": "foo", "type": {"kind": "struct"}})",
            "unknown variant `foo`, expected one of `borsh`, `bytemuck`, `bytemuckunsafe`, `custom`"},
        Row{R"({"name": "A", "serialization": {"custom": "x"}, "type": {"kind": "struct"}})", ""},
        Row{R"({"name": "A", "serialization": "custom", "type": {"kind": "struct"}})",
            "invalid type: unit variant, expected newtype variant"},
        Row{R"({"name": "A", "type": {"kind": "type", "alias": {"array": ["u8", 1, 2]}}})",
            "invalid length 3, expected 2 elements in sequence"},
        Row{R"({"name": "A", "type": {"kind": "type", "alias": {"array": []}}})",
            "invalid length 0, expected tuple variant IdlType::Array with 2 elements"},
        Row{R"({"name": "A", "type": {"kind": "type", "alias": {"array": ["u8", -1]}}})",
            "data did not match any variant of untagged enum IdlArrayLen"},
        Row{R"({"name": "A", "type": {"kind": "type", "alias": {"defined": ["P", []]}}})", ""},
        Row{R"({"name": "A"})", "missing field `type`"},
        Row{R"({"type": {"kind": "lol"}})", "unknown variant `lol`, expected one of `struct`, `enum`, `type`"},
        Row{R"({"name": "A", "type": {"kind": "type"}})", "missing field `alias`"},
        Row{R"({"name": "A", "type": {"kind": "enum"}})", "missing field `variants`"},
        Row{R"({"name": "A", "type": {"kind": "enum", "variants": [{"name": "V", "fields": [1]}]}})",
            "data did not match any variant of untagged enum IdlDefinedFields"},
        Row{R"({"name": "A", "type": "struct"})", "invalid type: string \"struct\", expected internally tagged enum IdlTypeDefTy"},
        Row{R"({"name": "A", "type": []})", "missing field `kind`"},
        Row{R"({"name": "A", "type": {}})", "missing field `kind`"},
        Row{R"({"name": "A", "type": ["struct", null]})", ""},
        Row{R"({"name": "A", "type": ["type"]})", "invalid length 0, expected struct variant IdlTypeDefTy::Type with 1 element"},
        Row{R"({"name": "A", "type": ["type", "u8", "x"]})", "invalid length 2, expected 1 element in sequence"},
        Row{R"({"name": "A", "type": {"kind": 1, "variants": []}})", ""},
        Row{R"({"name": "A", "type": {"kind": 5}})", "invalid value: integer `5`, expected variant index 0 <= i < 3"},
        Row{R"({"name": "A", "type": {"kind": true}})", "invalid type: boolean `true`, expected variant identifier"},
        Row{R"({"name": "A", "repr": {"kind": "transparent", "packed": true}, "type": {"kind": "struct"}})", ""},
        Row{R"({"name": "A", "repr": {"kind": "C"}, "type": {"kind": "struct"}})",
            "unknown variant `C`, expected one of `rust`, `c`, `transparent`"},
        Row{R"({"name": "A", "repr": "c", "type": {"kind": "struct"}})",
            "invalid type: string \"c\", expected internally tagged enum IdlRepr"},
        Row{R"({"name": "A", "repr": {"kind": "rust", "packed": 1}, "type": {"kind": "struct"}})",
            "invalid type: integer `1`, expected a boolean"},
        Row{R"({"name": "A", "repr": {"kind": "rust", "align": -8}, "type": {"kind": "struct"}})",
            "invalid value: integer `-8`, expected usize"},
        Row{R"({"name": "A", "generics": [{"kind": "const", "name": "N"}], "type": {"kind": "struct"}})", "missing field `type`"},
        Row{R"({"name": "A", "generics": [{"kind": "konst"}], "type": {"kind": "struct"}})",
            "unknown variant `konst`, expected `type` or `const`"},
        Row{R"({"name": "A", "generics": [5], "type": {"kind": "struct"}})",
            "invalid type: integer `5`, expected internally tagged enum IdlTypeDefGeneric"},
        Row{R"(["A"])", "invalid length 1, expected struct IdlTypeDef with 6 elements"},
        Row{R"(["A", [], "borsh", null, [], {"kind": "struct"}, 7])", "invalid length 7, expected fewer elements in array"},
        Row{R"(["A", [], "borsh", null, [], {"kind": "struct"}])", ""},
        Row{R"("x")", "invalid type: string \"x\", expected struct IdlTypeDef"},
        Row{R"({"name": "A", "docs": null, "type": {"kind": "struct"}})", "invalid type: null, expected a sequence"},
        Row{R"({"name": 5, "type": {"kind": "struct"}})", "invalid type: integer `5`, expected a string"},
        Row{R"({"name": "A", "docs": [1], "type": {"kind": "struct"}})", "invalid type: integer `1`, expected a string"}));

TEST(IdlTypeDef, ChoosesFieldListShapes) {
  auto body = [](const char* fields) {
    auto v = json::parse(std::string(R"({"name": "A", "type": {"kind": "struct", "fields": )") + fields + "}}");
    return read_type_def(*v)->type.fields;
  };
  EXPECT_EQ(body("[]")->kind, IdlDefinedFields::Kind::Named);
  EXPECT_TRUE(body("[]")->named.empty());
  EXPECT_FALSE(body("null").has_value());
  auto tuple = body(R"(["u8", "u64"])");
  ASSERT_TRUE(tuple);
  EXPECT_EQ(tuple->kind, IdlDefinedFields::Kind::Tuple);
  EXPECT_EQ(tuple->tuple.size(), 2u);
  // A field object with unknown keys still reads as a named field.
  auto named = body(R"([{"name": "a", "type": "u8", "index": true, "isMut": 1}])");
  ASSERT_TRUE(named);
  EXPECT_EQ(named->kind, IdlDefinedFields::Kind::Named);

  auto v = json::parse(R"({"name": "A", "repr": {"kind": "c", "align": 8}, "type": {"kind": "struct"}})");
  auto def = read_type_def(*v);
  ASSERT_TRUE(def && def->repr);
  EXPECT_EQ(def->repr->kind, IdlRepr::Kind::C);
  EXPECT_FALSE(def->repr->modifier.packed);
  EXPECT_EQ(def->repr->modifier.align, 8u);
  EXPECT_EQ(def->serialization.kind, IdlSerialization::Kind::Borsh);

  // The last of repeated keys counts.
  v = json::parse(R"({"name": "A", "type": {"kind": "enum", "variants": []}, "type": {"kind": "type", "alias": "u8"}})");
  EXPECT_EQ(read_type_def(*v)->type.kind, IdlTypeDefTy::Kind::Type);
}

// --- documents ---

std::string doc(const std::string& extra, const std::string& metadata = R"({"name": "p", "version": "1", "spec": "0.1.0"})") {
  return R"({"address": "Prog1111", "metadata": )" + metadata + R"(, "instructions": [])" + extra + "}";
}

std::string instruction_with_accounts(const std::string& accounts) {
  return R"(, "instructions": [{"name": "go", "discriminator": [1], "args": [], "accounts": )" + accounts + "}]";
}

struct DocRow {
  std::string text;
  std::string error;
};

std::ostream& operator<<(std::ostream& os, const DocRow& r) { return os << r.text; }

class DocumentRows : public testing::TestWithParam<DocRow> {};

TEST_P(DocumentRows, LoadsOrFailsWithTheExactMessage) {
  auto r = convert_idl(GetParam().text);
  EXPECT_EQ(r ? std::string() : r.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Idl, DocumentRows,
    testing::Values(
        DocRow{doc(""), ""},
        DocRow{R"({"address": "A", "metadata": {"name": "p", "version": "1", "spec": "0.1.0"}})",
               "missing field `instructions`"},
        DocRow{R"({"metadata": {"name": "p", "version": "1", "spec": "0.1.0"}, "instructions": []})",
               "missing field `address`"},
        DocRow{R"({"metadata": {"spec": "0.1.0"}})", "missing field `name`"},
        DocRow{doc(R"(, "events": null)"), "invalid type: null, expected a sequence"},
        DocRow{doc(R"(, "events": [{"name": "E", "discriminator": [256, 0]}])"), "invalid value: integer `256`, expected u8"},
        DocRow{doc(R"(, "events": [{"name": "E", "discriminator": [-1]}])"), "invalid value: integer `-1`, expected u8"},
        DocRow{doc(R"(, "events": [{"name": "E", "discriminator": [], "fields": 1}])"), ""},
        DocRow{doc(R"(, "events": [{"name": "E"}])"), "missing field `discriminator`"},
        DocRow{doc(R"(, "errors": [{"code": 4294967296, "name": "E"}])"), "invalid value: integer `4294967296`, expected u32"},
        DocRow{doc(R"(, "errors": [{"code": 6000, "name": "E", "msg": null}])"), ""},
        DocRow{doc(R"(, "errors": [{"code": 1.5, "name": "E"}])"), "invalid type: floating point `1.5`, expected u32"},
        DocRow{doc(R"(, "constants": [{"name": "C", "type": "u8"}])"), "missing field `value`"},
        DocRow{doc(R"(, "constants": [{"name": "C", "type": "U8", "value": "1"}])"),
               std::string("unknown variant `U8`, expected one of ") + kAllTypes},
        DocRow{doc(R"(, "accounts": [{"name": "A", "discriminator": [1, 2]}])"), ""},
        DocRow{doc(R"(, "docs": 5)"), "invalid type: integer `5`, expected a sequence"},
        DocRow{doc("", R"({"name": "p", "version": "1", "spec": "0.1.0", "deployments": {}})"), ""},
        DocRow{doc("", R"({"name": "p", "version": "1", "spec": "0.1.0", "dependencies": [{"name": "x"}]})"),
               "missing field `version`"},
        DocRow{doc("", R"({"name": "p", "version": "1", "spec": "0.1.1"})"), "IDL spec not supported: `0.1.1`"},
        DocRow{doc("", R"({"name": "p", "version": "1", "spec": "0.1"})"), "IDL spec not supported: `0.1`"},
        DocRow{doc("", R"({"name": "p", "version": "1", "spec": "0.1.0 "})"), "IDL spec not supported: `0.1.0 `"},
        DocRow{doc(instruction_with_accounts(R"([{"name": "a", "accounts": []}])")), ""},
        DocRow{doc(instruction_with_accounts(R"([{"name": "a", "writable": true}])")), ""},
        DocRow{doc(instruction_with_accounts(R"([{"name": "a", "writable": "yes"}])")),
               "data did not match any variant of untagged enum IdlInstructionAccountItem"},
        DocRow{doc(instruction_with_accounts(R"([{"name": "a", "pda": {"seeds": [{"kind": "const", "value": [1, 2]}]}}])")), ""},
        DocRow{doc(instruction_with_accounts(R"([{"name": "a", "pda": {"seeds": [{"value": [1, 2]}]}}])")),
               "data did not match any variant of untagged enum IdlInstructionAccountItem"},
        DocRow{doc(R"(, "instructions": [{"name": "go", "discriminator": [1], "accounts": []}])"), "missing field `args`"},
        DocRow{doc(R"(, "instructions": [{"name": "go", "discriminator": [1], "accounts": [], "args": [{"name": "x", "type": {"array": ["u8", -1]}}]}])"),
               "data did not match any variant of untagged enum IdlArrayLen"},
        DocRow{doc(R"(, "types": [{"name": "T", "type": {"kind": "type", "alias": "u8"}}], "types": [])"), ""},
        DocRow{"", "EOF while parsing a value at line 1 column 0"},
        DocRow{doc("") + "x", "trailing characters at line 1 column " + std::to_string(doc("").size() + 1)},
        DocRow{doc("") + " \n\t\r\n ", ""},
        DocRow{std::string(128, '['), "recursion limit exceeded at line 1 column 128"}));

TEST(Idl, ReadsARealisticDocumentInFull) {
  const char* text = R"({
    "address": "Swap111111111111111111111111111111111111111",
    "metadata": {"name": "swap", "version": "0.3.1", "spec": "0.1.0", "description": "A swap",
                 "deployments": {"mainnet": "Swap1"}, "dependencies": [{"name": "anchor", "version": "0.31"}]},
    "docs": ["Swaps tokens"],
    "instructions": [{
      "name": "swap", "discriminator": [248, 198, 158, 145, 225, 117, 135, 200],
      "accounts": [
        {"name": "user", "writable": true, "signer": true},
        {"name": "pool", "accounts": [
          {"name": "state", "writable": true, "pda": {"seeds": [
              {"kind": "const", "value": [112, 111, 111, 108]},
              {"kind": "account", "path": "user", "account": "User"},
              {"kind": "arg", "path": "amount"}],
            "program": {"kind": "const", "value": [1]}}},
          {"name": "vault", "address": "Vault111", "relations": ["state"], "optional": true}]}],
      "args": [{"name": "amount", "type": "u64"}, {"name": "min_out", "type": {"option": "u64"}}],
      "returns": "u64"}],
    "accounts": [{"name": "Pool", "discriminator": [241, 154, 109, 4, 17, 177, 109, 188]}],
    "events": [{"name": "Swapped", "discriminator": [81, 108, 227, 190, 205, 208, 10, 196]}],
    "errors": [{"code": 6000, "name": "Slippage", "msg": "Slippage exceeded"}],
    "types": [
      {"name": "Swapped", "type": {"kind": "struct", "fields": [
        {"name": "user", "type": "pubkey"}, {"name": "amounts", "type": {"array": ["u64", 2]}},
        {"name": "side", "type": {"defined": {"name": "Side"}}}]}},
      {"name": "Side", "type": {"kind": "enum", "variants": [{"name": "Buy"}, {"name": "Sell", "fields": ["u8"]}]}},
      {"name": "Pair", "generics": [{"kind": "type", "name": "T"}, {"kind": "const", "name": "N", "type": "usize"}],
       "type": {"kind": "struct", "fields": [{"name": "items", "type": {"array": [{"generic": "T"}, {"generic": "N"}]}}]}}],
    "constants": [{"name": "SEED", "type": "bytes", "value": "[112, 111, 111, 108]"}]
  })";
  auto idl = convert_idl(text);
  ASSERT_TRUE(idl) << idl.error();
  EXPECT_EQ(idl->metadata.deployments->mainnet, "Swap1");
  EXPECT_EQ(idl->metadata.dependencies.at(0).version, "0.31");
  const IdlInstruction& ix = idl->instructions.at(0);
  EXPECT_EQ(ix.discriminator, (Bytes{248, 198, 158, 145, 225, 117, 135, 200}));
  ASSERT_EQ(ix.accounts.size(), 2u);
  EXPECT_EQ(ix.accounts[0].kind, IdlInstructionAccountItem::Kind::Single);
  EXPECT_TRUE(ix.accounts[0].single.writable && ix.accounts[0].single.signer && !ix.accounts[0].single.optional);
  const IdlInstructionAccounts& pool = ix.accounts[1].composite;
  ASSERT_EQ(ix.accounts[1].kind, IdlInstructionAccountItem::Kind::Composite);
  const IdlPda& pda = *pool.accounts.at(0).single.pda;
  ASSERT_EQ(pda.seeds.size(), 3u);
  EXPECT_EQ(pda.seeds[0].value, (Bytes{112, 111, 111, 108}));
  EXPECT_EQ(pda.seeds[1].account, "User");
  EXPECT_EQ(pda.seeds[2].kind, IdlSeed::Kind::Arg);
  EXPECT_EQ(pda.program->kind, IdlSeed::Kind::Const);
  EXPECT_EQ(pool.accounts.at(1).single.relations, std::vector<std::string>{"state"});
  EXPECT_EQ(ix.args.at(1).type.kind, IdlType::Kind::Option);
  EXPECT_EQ(ix.returns->kind, IdlType::Kind::U64);
  EXPECT_EQ(idl->events.at(0).name, "Swapped");
  EXPECT_EQ(idl->errors.at(0).msg, "Slippage exceeded");
  ASSERT_EQ(idl->types.size(), 3u);
  EXPECT_EQ(idl->types[0].type.fields->named.at(2).type.name, "Side");
  EXPECT_EQ(idl->types[1].type.variants.at(1).fields->kind, IdlDefinedFields::Kind::Tuple);
  EXPECT_EQ(idl->types[2].generics.at(1).type, "usize");
  EXPECT_EQ(idl->constants.at(0).type.kind, IdlType::Kind::Bytes);
}

TEST(Idl, EveryRealCurrentIdlReads) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(BRISQUEL_SOURCE_DIR).parent_path() / "shared" / "idls";
  if (!fs::exists(dir)) GTEST_SKIP() << "no ../shared/idls";
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (!name.ends_with("-current.json")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto idl = convert_idl(text.str());
    EXPECT_TRUE(idl) << name << ": " << (idl ? "" : idl.error());
    ++seen;
  }
  EXPECT_GE(seen, 15);
}

}  // namespace
