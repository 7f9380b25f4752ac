// The program table against a map, over generated addresses built to collide:
// shared first characters, prefixes of one another, empty and short ones,
// repeats (which keep their first index).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/tx/program_table.hpp"

namespace brisquel::tx {
namespace {

TEST(ProgramTable, FindsWhatAMapFinds) {
  std::mt19937_64 rng(7);
  const std::string alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  auto text = [&](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % 4];  // few letters: many shared heads
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> pool;
    for (int i = 0; i < 40; ++i) {
      const std::size_t n = rng() % 3 == 0 ? rng() % 12 : 32 + rng() % 13;
      pool.push_back(text(n));
      if (!pool.back().empty() && rng() % 4 == 0) pool.push_back(pool.back().substr(0, pool.back().size() - 1));
    }
    std::vector<std::string> listed;
    std::map<std::string, std::uint32_t> want;
    const std::size_t count = rng() % 12;
    for (std::size_t i = 0; i < count; ++i) {
      listed.push_back(pool[rng() % pool.size()]);
      want.emplace(listed.back(), static_cast<std::uint32_t>(i));  // a repeat keeps its first index
    }
    const ProgramTable table(listed);
    for (const std::string& a : pool) {
      const auto it = want.find(a);
      EXPECT_EQ(table.find(a), it == want.end() ? ProgramTable::kNone : it->second) << a;
    }
  }
}

}  // namespace
}  // namespace brisquel::tx
