// The JSON layer: syntax errors with their positions, the shape of the parsed
// tree, and how values are described and written back.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <format>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>

#include "idl/json.hpp"

using namespace std::string_literals;
using namespace brisquel;

namespace {

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// The compact text of the parsed value, or the error message.
std::string outcome(const std::string& text) {
  auto v = json::parse(text);
  return v ? json::to_compact(*v) : v.error();
}

struct Row {
  std::string input;
  std::string expected;
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << testing::PrintToString(r.input); }

const std::string kControl = "control character (\\u0000-\\u001F) found while parsing a string";

class SyntaxErrors : public testing::TestWithParam<Row> {};

TEST_P(SyntaxErrors, MessageAndPosition) { EXPECT_EQ(outcome(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Json, SyntaxErrors,
    testing::Values(
        Row{"", "EOF while parsing a value at line 1 column 0"},
        Row{" \n ", "EOF while parsing a value at line 2 column 1"},
        Row{"[", "EOF while parsing a list at line 1 column 1"},
        Row{"[1", "EOF while parsing a list at line 1 column 2"},
        Row{"[1,", "EOF while parsing a value at line 1 column 3"},
        Row{"{", "EOF while parsing an object at line 1 column 1"},
        Row{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        Row{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        Row{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        Row{"\"ab", "EOF while parsing a string at line 1 column 3"},
        Row{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        Row{"tru", "EOF while parsing a value at line 1 column 3"},
        Row{"-", "EOF while parsing a value at line 1 column 1"},
        Row{"1e+", "EOF while parsing a value at line 1 column 3"},
        Row{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        Row{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        Row{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        Row{"trux", "expected ident at line 1 column 4"},
        Row{"[nul]", "expected ident at line 1 column 5"},
        Row{"x", "expected value at line 1 column 1"},
        Row{"[,1]", "expected value at line 1 column 2"},
        Row{"{\"a\":}", "expected value at line 1 column 6"},
        Row{"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
        Row{"\"\\q\"", "invalid escape at line 1 column 3"},
        Row{"\"\\u12x4\"", "invalid escape at line 1 column 6"},
        Row{"-a", "invalid number at line 1 column 2"},
        Row{"[1.x]", "invalid number at line 1 column 4"},
        Row{"[1e]", "invalid number at line 1 column 4"},
        Row{"01", "invalid number at line 1 column 2"},
        Row{"[-01]", "invalid number at line 1 column 4"},
        Row{"{\"a\":00}", "invalid number at line 1 column 7"},
        Row{repeat("1", 400) + ".", "EOF while parsing a value at line 1 column 401"},
        Row{"1e400", "number out of range at line 1 column 5"},
        Row{"[-1.8e308]", "number out of range at line 1 column 9"},
        Row{"1e99999999999", "number out of range at line 1 column 12"},
        Row{"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        Row{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
        Row{"\"a\x01\"", kControl + " at line 1 column 3"},
        Row{"\"a\0b\""s, kControl + " at line 1 column 3"},
        Row{"\"\xff\x01\"", kControl + " at line 1 column 3"},  // found before the bad UTF-8
        Row{"{1:2}", "key must be a string at line 1 column 2"},
        Row{"{,}", "key must be a string at line 1 column 2"},
        Row{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        Row{"\"\\uDC00\x01\"", "lone leading surrogate in hex escape at line 1 column 7"},
        Row{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        Row{"[1,]", "trailing comma at line 1 column 4"},
        Row{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        Row{"{}x", "trailing characters at line 1 column 3"},
        Row{"[1]\n\n x", "trailing characters at line 3 column 2"},
        Row{"1\0"s, "trailing characters at line 1 column 2"},
        Row{"[1\0]"s, "expected `,` or `]` at line 1 column 3"},
        Row{"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
        Row{"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        Row{std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
        Row{repeat("{\"a\":", 128), "recursion limit exceeded at line 1 column 636"},
        Row{std::string(100000, '['), "recursion limit exceeded at line 1 column 128"}));

class Values : public testing::TestWithParam<Row> {};

TEST_P(Values, ParseToCompactText) { EXPECT_EQ(outcome(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Json, Values,
    testing::Values(
        // Keys in byte order, the last of repeated keys wins.
        Row{"{\"b\":1,\"a\":2,\"b\":3,\"a\":4}", "{\"a\":4,\"b\":3}"},
        Row{"{\"b\":1,\"\xc3\xa9\":2,\"B\":3,\"a\":4}", "{\"B\":3,\"a\":4,\"b\":1,\"\xc3\xa9\":2}"},
        Row{" [ true , false , null , {} , [] ] \r\n\t", "[true,false,null,{},[]]"},
        // Integers that fit 64 bits stay exact; others become floats.
        Row{"[18446744073709551615,18446744073709551616]", "[18446744073709551615,1.8446744073709552e19]"},
        Row{"[-9223372036854775808,-9223372036854775809]", "[-9223372036854775808,-9.223372036854776e18]"},
        Row{"[9007199254740993,9007199254740993.0]", "[9007199254740993,9007199254740992.0]"},
        Row{"[0,-0,-0.0,1E2,0.1,1e-400]", "[0,-0.0,-0.0,100.0,0.1,0.0]"},
        // In range although the exponent or the digits alone are not.
        Row{"[0e400,-0.0e99999999999," + repeat("9", 400) + "e-390]", "[0.0,-0.0,10000000000.0]"},
        Row{"\"\\u0000\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\\\"\\\\\x7f\\u001f\"",
            "\"\\u0000\xf0\x9f\x98\x80/\\b\\f\\n\\r\\t\\\"\\\\\x7f\\u001f\""},
        Row{"{\"\\u0000\":1,\"\":2}", "{\"\":2,\"\\u0000\":1}"},
        Row{repeat("[", 127) + repeat("]", 127), repeat("[", 127) + repeat("]", 127)}));

TEST(Json, LargeObjectsSortStablyAndKeepTheLastDuplicate) {
  std::string text = "{";
  for (int i = 39; i >= 0; --i) text += std::format("\"k{:02}\":{},", i, i);
  for (int i = 0; i < 40; i += 3) text += std::format("\"k{:02}\":\"last\",", i);
  text.back() = '}';
  auto v = json::parse(text);
  ASSERT_TRUE(v) << v.error();
  const auto& members = v->as_object();
  ASSERT_EQ(members.size(), 40u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(members[i].first, std::format("k{:02}", i));
    EXPECT_EQ(json::to_compact(members[i].second), i % 3 == 0 ? "\"last\"" : std::to_string(i));
  }
  EXPECT_EQ(v->find("k07")->as_uint(), 7u);
  EXPECT_EQ(v->find("k06")->as_string(), "last");
  EXPECT_EQ(v->find("k40"), nullptr);
  EXPECT_EQ(v->find(""), nullptr);
  EXPECT_EQ(json::Value(json::Array{}).find("k00"), nullptr);
}

TEST(Json, IntegerKinds) {
  auto v = json::parse("[5,-5,18446744073709551615,-9223372036854775808,-0]");
  ASSERT_TRUE(v);
  const auto& a = v->as_array();
  EXPECT_EQ(a[0].kind(), json::Kind::UInt);
  EXPECT_EQ(a[1].kind(), json::Kind::Int);
  EXPECT_EQ(a[2].as_uint(), UINT64_MAX);
  EXPECT_EQ(a[3].as_int(), INT64_MIN);
  EXPECT_EQ(a[4].kind(), json::Kind::Float);
  EXPECT_TRUE(std::signbit(a[4].as_float()));
}

TEST(Json, FormatFloat) {
  const std::pair<double, const char*> rows[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {4.0, "4.0"},
      {0.1, "0.1"},
      {-12.34, "-12.34"},
      {123456789.0, "123456789.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1.5e16, "1.5e16"},
      {1e-5, "0.00001"},
      {1.234e-5, "0.00001234"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1.234e33, "1.234e33"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
  };
  for (const auto& [d, text] : rows) EXPECT_EQ(json::format_float(d), text) << d;
}

TEST(Json, Describe) {
  const std::pair<json::Value, const char*> rows[] = {
      {json::Value(), "null"},
      {json::Value(true), "boolean `true`"},
      {json::Value(false), "boolean `false`"},
      {json::Value(std::uint64_t{5}), "integer `5`"},
      {json::Value(std::int64_t{-5}), "integer `-5`"},
      {json::Value(1.5), "floating point `1.5`"},
      {json::Value(1e300), "floating point `1e300`"},
      {json::Value(json::Array{}), "sequence"},
      {json::Value(json::Object{}), "map"},
      {json::Value("a\"b\\c\t\r\n\0\x01\x7f'"s), "string \"a\\\"b\\\\c\\t\\r\\n\\0\\u{1}\\u{7f}'\""},
      // Combining and non-printing characters are escaped, other text is kept.
      {json::Value("\xc3\xa9" "e\xcc\x81\xc2\xa0\xe2\x80\x8b\xf0\x9f\x98\x80"s),
       "string \"\xc3\xa9" "e\\u{301}\\u{a0}\\u{200b}\xf0\x9f\x98\x80\""},
  };
  for (const auto& [v, text] : rows) EXPECT_EQ(json::describe(v), text);
}

// Random short texts over JSON's alphabet (and a few hostile bytes): every one
// parses or fails in the promised form, and what parses writes back stably.
TEST(Json, ArbitraryTextsParseOrFailCleanly) {
  const std::string alphabet = "[]{}:,\"\\u0123456789aeEfdlnrstx.-+ \n\t\x01\xff\xc3\xa9"s + '\0';
  const std::regex error_form(R"(.+ at line \d+ column \d+)");
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string text(rng() % 24, ' ');
    for (char& c : text) c = alphabet[rng() % alphabet.size()];
    auto v = json::parse(text);
    if (!v) {
      EXPECT_TRUE(std::regex_match(v.error(), error_form))
          << testing::PrintToString(text) << ": " << v.error();
      continue;
    }
    const std::string compact = json::to_compact(*v);
    EXPECT_EQ(outcome(compact), compact) << testing::PrintToString(text);
  }
}

TEST(Json, RealIdlsWriteBackStably) {
  const std::filesystem::path dir = std::filesystem::path(BRISQUEL_SOURCE_DIR) / "../shared/idls";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no IDL files at " << dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto v = json::parse(text.str());
    ASSERT_TRUE(v) << entry.path() << ": " << v.error();
    const std::string compact = json::to_compact(*v);
    EXPECT_EQ(outcome(compact), compact) << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0);
}

}  // namespace
