// The legacy model's readers: one row per message, JSON text in, the exact
// message (or success) out.
#include <gtest/gtest.h>

#include <string>

#include "idl/json.hpp"
#include "idl/legacy/readers.hpp"

using namespace brisquel;
using namespace brisquel::idl::legacy;

namespace {

struct Row {
  std::string json;
  std::string error;  // "" when the value must read
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << r.json; }

template <class F>
std::string outcome(const std::string& text, F reader) {
  auto v = json::parse(text);
  if (!v) return "parse: " + v.error();
  auto r = reader(*v);
  return r ? std::string() : r.error();
}

// A minimal document with `members` appended; a repeated key wins over the default.
std::string doc(const std::string& members = "") {
  std::string s = R"({"version": "0.1.0", "name": "p", "instructions": [])";
  if (!members.empty()) s += ", " + members;
  return s + "}";
}
std::string with_type_def(const std::string& def) { return doc(R"("types": [)" + def + "]"); }
std::string with_type_body(const std::string& body) {
  return with_type_def(R"({"name": "T", "type": )" + body + "}");
}
std::string with_account_item(const std::string& item) {
  return doc(R"("instructions": [{"name": "ix", "accounts": [)" + item + R"(], "args": []}])");
}
std::string with_seed(const std::string& seed) {
  return with_account_item(R"({"name": "a", "isMut": false, "isSigner": false, "pda": {"seeds": [)" + seed + "]}}");
}
std::string with_variant_fields(const std::string& fields) {
  return with_type_body(R"({"kind": "enum", "variants": [{"name": "V", "fields": )" + fields + "}]}");
}
std::string with_event(const std::string& event) { return doc(R"("events": [)" + event + "]"); }

constexpr const char* kAllTypes =
    "`bool`, `u8`, `i8`, `u16`, `i16`, `u32`, `i32`, `f32`, `u64`, `i64`, `f64`, `u128`, `i128`, "
    "`u256`, `i256`, `bytes`, `string`, `publicKey`, `defined`, `option`, `vec`, `array`, "
    "`genericLenArray`, `generic`, `definedWithTypeArgs`";

class LegacyTypeRows : public testing::TestWithParam<Row> {};

TEST_P(LegacyTypeRows, ReadsOrFailsWithTheExactMessage) {
  EXPECT_EQ(outcome(GetParam().json, read_type), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    IdlType, LegacyTypeRows,
    testing::Values(
        Row{R"("u64")", ""}, Row{R"("publicKey")", ""}, Row{R"({"string": null})", ""},
        Row{R"("pubkey")", std::string("unknown variant `pubkey`, expected one of ") + kAllTypes},
        Row{R"("PublicKey")", std::string("unknown variant `PublicKey`, expected one of ") + kAllTypes},
        Row{R"({"coption": "u8"})", std::string("unknown variant `coption`, expected one of ") + kAllTypes},
        Row{R"({"u8": 1})", "invalid type: integer `1`, expected unit"},
        Row{R"({"defined": "Pool"})", ""},
        Row{R"({"defined": {"name": "Pool"}})", "invalid type: map, expected a string"},
        Row{R"("defined")", "invalid type: unit variant, expected newtype variant"},
        Row{R"({"vec": {"option": "publicKey"}})", ""},
        Row{R"({"option": "pubkey"})", std::string("unknown variant `pubkey`, expected one of ") + kAllTypes},
        Row{R"({"array": ["u8", 32]})", ""},
        Row{R"({"array": ["u8", 18446744073709551615]})", ""},
        Row{R"({"array": ["u8"]})", "invalid length 1, expected tuple variant IdlType::Array with 2 elements"},
        Row{R"({"array": ["u8", 32, 1]})", "invalid length 3, expected fewer elements in array"},
        Row{R"({"array": ["u8", -1]})", "invalid value: integer `-1`, expected usize"},
        Row{R"({"array": ["u8", "N"]})", "invalid type: string \"N\", expected usize"},
        Row{R"({"genericLenArray": ["u8", "N"]})", ""},
        Row{R"({"genericLenArray": ["u8"]})",
            "invalid length 1, expected tuple variant IdlType::GenericLenArray with 2 elements"},
        Row{R"({"genericLenArray": ["u8", 3]})", "invalid type: integer `3`, expected a string"},
        Row{R"({"generic": "T"})", ""},
        Row{R"({"definedWithTypeArgs": {"name": "P", "args": [{"type": "u8"}, {"value": "3"}, {"generic": "T"}]}})",
            ""},
        Row{R"({"definedWithTypeArgs": {"name": "P"}})", "missing field `args`"},
        Row{R"({"definedWithTypeArgs": {"name": "P", "args": [{"value": 8}]}})",
            "invalid type: integer `8`, expected a string"},
        Row{R"({"definedWithTypeArgs": {"name": "P", "args": [{"const": "8"}]}})",
            "unknown variant `const`, expected one of `generic`, `value`, `type`"},
        Row{R"({"definedWithTypeArgs": {"name": "P", "args": [{"type": "pubkey"}]}})",
            std::string("unknown variant `pubkey`, expected one of ") + kAllTypes},
        Row{R"({"u8": null, "u16": null})", "invalid value: map, expected map with a single key"},
        Row{R"(5)", "invalid type: integer `5`, expected string or map"}));

class LegacyDocumentRows : public testing::TestWithParam<Row> {};

TEST_P(LegacyDocumentRows, ReadsOrFailsWithTheExactMessage) {
  EXPECT_EQ(outcome(GetParam().json, read_idl), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Document, LegacyDocumentRows,
    testing::Values(
        Row{doc(), ""},
        Row{R"({})", "missing field `version`"},
        Row{R"({"name": "p", "instructions": []})", "missing field `version`"},
        Row{R"({"version": "1", "instructions": []})", "missing field `name`"},
        Row{R"({"version": "1", "name": "p"})", "missing field `instructions`"},
        Row{R"({"version": 1})", "invalid type: integer `1`, expected a string"},
        Row{doc(R"("events": null, "errors": null, "docs": null, "metadata": null)"), ""},
        Row{doc(R"("types": null)"), "invalid type: null, expected a sequence"},
        Row{doc(R"("constants": null)"), "invalid type: null, expected a sequence"},
        Row{doc(R"("metadata": "x")"), ""}, Row{doc(R"("metadata": [1, {"address": 2}])"), ""},
        Row{doc(R"("spec": "0.1.0", "unknown": {"kind": 1})"), ""},
        Row{R"([])", "invalid length 0, expected struct Idl with 10 elements"},
        Row{R"(["1", "p", null, [], []])", "invalid length 5, expected struct Idl with 10 elements"},
        Row{R"(["1", "p", null, [], [], [], [], null, null, null])", ""},
        Row{R"(["1", "p", null, [], [], [], [], null, null, null, 1])",
            "invalid length 11, expected fewer elements in array"},
        Row{R"("idl")", "invalid type: string \"idl\", expected struct Idl"},
        Row{doc(R"("errors": [{"code": 6000, "name": "E"}])"), ""},
        Row{doc(R"("errors": [{"code": 4294967296, "name": "E"}])"),
            "invalid value: integer `4294967296`, expected u32"},
        Row{doc(R"("constants": [{"name": "C", "type": "u8", "value": "1"}])"), ""},
        Row{doc(R"("constants": [{"name": "C", "type": "u8"}])"), "missing field `value`"},
        Row{doc(R"("instructions": [{"name": "ix", "docs": null, "accounts": [], "args": [{"name": "a", "docs": null, "type": "u8"}]}])"),
            ""},
        Row{doc(R"("instructions": [{"name": "ix", "accounts": []}])"), "missing field `args`"},
        Row{doc(R"("instructions": [{"name": "ix", "accounts": [], "args": [], "returns": "pubkey"}])"),
            std::string("unknown variant `pubkey`, expected one of ") + kAllTypes}));

INSTANTIATE_TEST_SUITE_P(
    TypeDefinition, LegacyDocumentRows,
    testing::Values(
        Row{with_type_def(R"({"name": "T", "docs": null, "generics": null, "type": {"kind": "struct", "fields": []}})"),
            ""},
        Row{with_type_def(R"({"name": "T", "generics": ["A", "B"], "type": {"kind": "alias", "value": "u8"}})"), ""},
        Row{with_type_def(R"({"name": "T"})"), "missing field `type`"},
        // A bad value wins over a missing key of the same object.
        Row{with_type_def(R"({"name": 5})"), "invalid type: integer `5`, expected a string"},
        Row{with_type_body(R"({"kind": "type", "alias": "u8"})"),
            "unknown variant `type`, expected one of `struct`, `enum`, `alias`"},
        Row{with_type_body(R"({"fields": []})"), "missing field `kind`"},
        Row{with_type_body(R"("u8")"), "invalid type: string \"u8\", expected internally tagged enum IdlTypeDefinitionTy"},
        Row{with_type_body(R"({"kind": "struct"})"), "missing field `fields`"},
        Row{with_type_body(R"({"kind": "struct", "fields": null})"), "invalid type: null, expected a sequence"},
        Row{with_type_body(R"({"kind": "enum"})"), "missing field `variants`"},
        Row{with_type_body(R"({"kind": "alias"})"), "missing field `value`"},
        Row{with_type_body(R"(["struct", [{"name": "a", "type": "u8"}]])"), ""},
        Row{with_type_body(R"({"kind": "struct", "fields": [{"name": "a", "type": "u8", "index": true}]})"), ""},
        Row{with_type_body(R"({"kind": "struct", "fields": ["u8"]})"),
            "invalid type: string \"u8\", expected struct IdlField"},
        Row{with_variant_fields("null"), ""}, Row{with_variant_fields("[]"), ""},
        Row{with_variant_fields(R"(["u8", {"vec": "u8"}])"), ""},
        Row{with_variant_fields(R"([{"name": "a", "type": "u8"}])"), ""},
        Row{with_variant_fields("[1]"), "data did not match any variant of untagged enum EnumFields"},
        Row{with_variant_fields(R"([{"name": "a", "type": "u8"}, "u8"])"),
            "data did not match any variant of untagged enum EnumFields"},
        Row{with_variant_fields(R"(["pubkey"])"), "data did not match any variant of untagged enum EnumFields"}));

INSTANTIATE_TEST_SUITE_P(
    AccountItem, LegacyDocumentRows,
    testing::Values(
        Row{with_account_item(R"({"name": "a", "isMut": true, "isSigner": false})"), ""},
        Row{with_account_item(R"({"name": "a", "isMut": true})"),
            "data did not match any variant of untagged enum IdlAccountItem"},
        Row{with_account_item(R"({"name": "a", "isMut": "yes", "isSigner": false})"),
            "data did not match any variant of untagged enum IdlAccountItem"},
        Row{with_account_item(R"({"name": "a", "isMut": true, "isSigner": true, "isOptional": null, "docs": null})"),
            ""},
        Row{with_account_item(R"({"name": "a", "isMut": true, "isSigner": true, "relations": null})"),
            "data did not match any variant of untagged enum IdlAccountItem"},
        Row{with_account_item(R"({"name": "g", "accounts": []})"), ""},
        Row{with_account_item(R"({"name": "g", "accounts": [{"name": "a", "isMut": true, "isSigner": true}]})"), ""},
        Row{with_account_item(R"({"name": "g", "accounts": [{"name": "a"}]})"),
            "data did not match any variant of untagged enum IdlAccountItem"},
        // Read as single: the malformed "accounts" is never looked at.
        Row{with_account_item(R"({"name": "a", "isMut": true, "isSigner": true, "accounts": 5})"), ""},
        Row{with_seed(R"({"kind": "const", "type": "string", "value": null})"), ""},
        Row{with_seed(R"({"kind": "const", "type": "string"})"),
            "data did not match any variant of untagged enum IdlAccountItem"},
        Row{with_seed(R"({"kind": "arg", "type": "u64", "path": "amount"})"), ""},
        Row{with_seed(R"({"kind": "account", "type": "publicKey", "path": "a.b", "account": null})"), ""},
        Row{with_seed(R"({"type": "u8", "value": 1})"),
            "data did not match any variant of untagged enum IdlAccountItem"},
        Row{with_seed(R"({"kind": "program", "type": "u8", "value": 1})"),
            "data did not match any variant of untagged enum IdlAccountItem"}));

INSTANTIATE_TEST_SUITE_P(
    Event, LegacyDocumentRows,
    testing::Values(
        Row{with_event(R"({"name": "E", "fields": [{"name": "a", "type": "u64", "index": false}]})"), ""},
        Row{with_event(R"({"name": "E", "discriminator": [1, 2], "fields": []})"), ""},
        Row{with_event(R"({"name": "E", "fields": [{"name": "a", "type": "u64"}]})"), "missing field `index`"},
        Row{with_event(R"({"name": "E"})"), "missing field `fields`"},
        Row{with_event(R"({"name": "E", "fields": [{"name": "a", "type": {"defined": {"name": "P"}}, "index": false}]})"),
            "invalid type: map, expected a string"},
        Row{with_event(R"(["E", []])"), ""},
        Row{with_event(R"(["E"])"), "invalid length 1, expected struct IdlEvent with 2 elements"}));

}  // namespace
