// Names made unique ("Name#2", ...) for table keys and columns: the same as
// trying each suffix from 2 against every name so far, over generated lists
// that repeat names and already hold suffixed ones, and fast for an IDL that
// declares one event name tens of thousands of times.
#include <gtest/gtest.h>

#include <algorithm>
#include <format>
#include <random>
#include <set>

#include "core/event_tables.hpp"

namespace brisquel {
namespace {

std::vector<std::string> plain_unique(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) {
    std::string key = name;
    for (int n = 2; std::ranges::find(out, key) != out.end(); ++n) key = std::format("{}#{}", name, n);
    out.push_back(key);
  }
  return out;
}

TEST(UniqueNames, AsTryingEverySuffix) {
  std::mt19937 rng(3);
  const std::vector<std::string> pool = {"a", "b", "a#2", "a#3", "a#2#2", "b#10"};
  for (int round = 0; round < 500; ++round) {
    std::vector<std::string> names(rng() % 30);
    for (auto& n : names) n = pool[rng() % pool.size()];
    UniqueNames unique;
    std::vector<std::string> got;
    for (const auto& n : names) got.push_back(unique.add(n));
    ASSERT_EQ(got, plain_unique(names));
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size());
  }
}

TEST(UniqueNames, AnEventNameDeclaredFiftyThousandTimes) {
  idl::Idl idl;
  idl.types.emplace_back().name = "E";
  idl.types.back().type.fields.emplace();
  for (int i = 0; i < 50'000; ++i) idl.events.push_back({"E", {1, 2, 3, 4, 5, 6, 7, 8}});
  auto compiled = CompiledIdl::build(idl);
  ASSERT_TRUE(compiled);
  auto schemas = TableSchemas::make(**compiled, {}, {});
  ASSERT_TRUE(schemas);
  EXPECT_EQ(schemas->keys.front(), "E");
  EXPECT_EQ(schemas->keys.back(), "E#50000");
}

}  // namespace
}  // namespace brisquel
