// Instruction layouts of a compiled IDL: the discriminator lookup against a
// plain search over generated discriminators that are prefixes of each other,
// and a real legacy IDL whose computed discriminators match those its current
// IDL declares. (Composite and optional accounts: call_walk_test.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "core/compiled_idl.hpp"
#include "idl/loader.hpp"
#include "real_data.hpp"

namespace brisquel {
namespace {

using Bytes = std::vector<std::uint8_t>;

using tx::testing::kIdls;
using tx::testing::slurp;

std::unique_ptr<const CompiledIdl> compile(const idl::Idl& idl) {
  auto compiled = CompiledIdl::build(idl);
  EXPECT_TRUE(compiled) << compiled.error();
  return std::move(*compiled);
}

// The longest declared discriminator that starts `data`, the first declared
// among equal ones; -1 for none.
int plain_match(const std::vector<Bytes>& discs, const Bytes& data) {
  int best = -1;
  for (std::size_t i = 0; i < discs.size(); ++i) {
    const Bytes& d = discs[i];
    if (d.empty() || d.size() > data.size() || !std::equal(d.begin(), d.end(), data.begin())) continue;
    if (best < 0 || d.size() > discs[static_cast<std::size_t>(best)].size()) best = static_cast<int>(i);
  }
  return best;
}

TEST(InstructionLayout, LongestPrefixFirstDeclared) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    // Few byte values and short lengths: discriminators repeat and prefix each other.
    idl::Idl idl;
    std::vector<Bytes> discs;
    const std::size_t n = 1 + rng() % 12;
    for (std::size_t i = 0; i < n; ++i) {
      Bytes d(rng() % 5);
      for (auto& b : d) b = static_cast<std::uint8_t>(rng() % 3 ? rng() % 2 : 0xff);
      discs.push_back(d);
      idl::IdlInstruction& ix = idl.instructions.emplace_back();
      ix.name = "ix" + std::to_string(i);
      ix.discriminator = d;
    }
    const auto compiled = compile(idl);
    // Arguments are numbered among the field lists, which name them by id.
    for (const InstructionLayout& ix : compiled->instructions()) ASSERT_EQ(&compiled->field_list(ix.args->id), &*ix.args);
    for (int probe = 0; probe < 50; ++probe) {
      Bytes data(rng() % 7);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng() % 3 ? rng() % 2 : 0xff);
      const int want = plain_match(discs, data);
      const InstructionLayout* got = compiled->match_instruction(data);
      ASSERT_EQ(got == nullptr ? -1 : static_cast<int>(got - compiled->instructions().data()), want) << round;
    }
  }
}

// Raydium CLMM's legacy IDL gets "global:<snake_name>" discriminators; its
// current IDL states them. Every instruction both name must agree, with the
// same accounts.
TEST(InstructionLayout, LegacyDiscriminatorsMatchTheCurrentOnes) {
  if (!std::filesystem::is_directory(kIdls)) GTEST_SKIP() << "no " << kIdls;
  auto legacy = idl::convert_idl(slurp(kIdls / "raydium-clmm-legacy.json"));
  auto current = idl::convert_idl(slurp(kIdls / "raydium-clmm-current.json"));
  ASSERT_TRUE(legacy && current);
  const auto old_tables = compile(*legacy), new_tables = compile(*current);
  std::size_t shared = 0;
  for (const InstructionLayout& now : new_tables->instructions()) {
    for (const InstructionLayout& then : old_tables->instructions()) {
      if (then.name != now.name) continue;
      ++shared;
      EXPECT_EQ(then.discriminator, now.discriminator) << now.name;
      EXPECT_EQ(old_tables->match_instruction(now.discriminator), &then) << now.name;
      // Names agree but for where digits meet words: "token_program2022" then, "token_program_2022" now.
      auto words = [](const InstructionLayout& l) {
        std::vector<std::string> out;
        for (auto account : l.accounts) {
          std::erase(account.name, '_');
          out.push_back(account.name);
        }
        return out;
      };
      EXPECT_EQ(words(then), words(now)) << now.name;
    }
  }
  EXPECT_GE(shared, 20u);
  EXPECT_EQ(old_tables->error(6013)->name, new_tables->error(6013)->name);
}

}  // namespace
}  // namespace brisquel
