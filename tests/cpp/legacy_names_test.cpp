// get_disc and to_snake_case: the two helpers that give legacy documents their
// discriminators and field names.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "idl/legacy/disc.hpp"
#include "idl/legacy/snake_case.hpp"

namespace brisquel::idl::legacy {
namespace {

struct DiscCase {
  const char* ns;
  const char* name;
  Bytes want;
};

TEST(LegacyGetDisc, FirstEightBytesOfSha256) {
  const DiscCase cases[] = {
      {"global", "initialize", {0xaf, 0xaf, 0x6d, 0x1f, 0x0d, 0x98, 0x9b, 0xed}},
      {"event", "MyEvent", {0x60, 0xb8, 0xc5, 0xf3, 0x8b, 0x02, 0x5a, 0x94}},
      {"global", "set_authority", {0x85, 0xfa, 0x25, 0x15, 0x6e, 0xa3, 0x1a, 0x79}},
  };
  for (const auto& c : cases) EXPECT_EQ(get_disc(c.ns, c.name), c.want) << c.ns << ":" << c.name;
}

TEST(LegacyGetDisc, HashesTheNameAsWritten) {
  EXPECT_NE(get_disc("global", "setAuthority"), get_disc("global", "set_authority"));
  EXPECT_NE(get_disc("event", "myevent"), get_disc("event", "MyEvent"));
}

struct SnakeCase {
  const char* in;
  const char* want;
};

const SnakeCase kSnakeCases[] = {
    {"initialize", "initialize"},
    {"setAuthority", "set_authority"},
    {"SetAuthority", "set_authority"},
    {"amountIn", "amount_in"},
    {"NFTMetadata", "nft_metadata"},
    {"getNFTMintCount", "get_nft_mint_count"},
    {"ABC", "abc"},
    {"price1Usd", "price1_usd"},
    {"mintTo2Accounts", "mint_to2_accounts"},
    {"V2Pool", "v2_pool"},
    {"U64Value", "u64_value"},
    {"already_snake_case", "already_snake_case"},
    {"__leading", "leading"},
    {"trailing__", "trailing"},
    {"double__under", "double_under"},
    {"with space", "with_space"},
    {"kebab-case", "kebab_case"},
    {"_", ""},
    {"", ""},
    // Middle characters between two letters or two digits stay in the word.
    {"don'tStop", "don't_stop"},
    {"a.bC", "a.b_c"},
    {"ns:Name", "ns:_name"}, {"ns:name", "ns:name"},
    {"v1.2Beta", "v1.2_beta"},
    {"1,5x", "1,5x"},
    {"a,b", "a_b"},
    {"a.1", "a_1"},
    {"-_-", ""},
    // Non-ASCII names.
    {"ΦΙΛΟΣ", "φιλος"},
    {"ΣΑΣ", "σας"},
    {"Σ", "ς"},
    {"ΣaΣ", "σa_ς"},
    {"İstanbul", "i̇stanbul"},
    {"priceİndex", "price_i̇ndex"},
    {"value٣Usd", "value٣_usd"},
    {"tier४", "tier४"},
    {"ÉtéChaud", "été_chaud"},
    {"naïveTest", "naïve_test"},
    {"größeÜber", "größe_über"},
};

TEST(LegacySnakeCase, Table) {
  for (const auto& c : kSnakeCases) EXPECT_EQ(to_snake_case(c.in), c.want) << c.in;
}

TEST(LegacySnakeCase, UnicodePathAgreesOnTable) {
  for (const auto& c : kSnakeCases) EXPECT_EQ(detail::to_snake_case_unicode(c.in), c.want) << c.in;
}

// The ASCII fast path must split words exactly as the Unicode word iterator does.
TEST(LegacySnakeCase, AsciiFastPathMatchesUnicodePath) {
  static constexpr std::string_view kAlphabet =
      "abcxyzABCXYZ0189____..::''',,;;-- \t$@/()+";
  std::mt19937 rng(20240229);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 14);
  for (int round = 0; round < 20000; ++round) {
    std::string name;
    for (int n = length(rng); n > 0; --n) name.push_back(kAlphabet[pick(rng)]);
    ASSERT_EQ(to_snake_case(name), detail::to_snake_case_unicode(name)) << '"' << name << '"';
  }
}

}  // namespace
}  // namespace brisquel::idl::legacy
