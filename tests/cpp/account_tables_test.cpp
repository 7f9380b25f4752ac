// Accounts of several programs into tables: the owner picks the program even
// where discriminators collide, zero-copy padding is passed over, and every
// account that is not a row is an error row or a count.
#include <gtest/gtest.h>

#include <cstring>
#include <format>
#include <string>
#include <vector>

#include <simdutf.h>

#include "core/acct/account_tables.hpp"
#include "core/acct/rpc_accounts.hpp"
#include "idl/loader.hpp"

namespace brisquel::acct {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kA = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
constexpr const char* kB = "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB";

std::shared_ptr<const CompiledIdl> compile(std::string_view text) {
  auto idl = idl::convert_idl(text);
  EXPECT_TRUE(idl) << idl.error();
  auto compiled = CompiledIdl::build(*idl);
  EXPECT_TRUE(compiled) << compiled.error();
  return std::shared_ptr<const CompiledIdl>(std::move(*compiled));
}

// Both programs have a `Pool` of the same discriminator, with other fields.
constexpr std::string_view kIdlA = R"({"address":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
  "metadata":{"name":"a","version":"0.1.0","spec":"0.1.0"},"instructions":[],
  "accounts":[{"name":"Pool","discriminator":[1,2,3,4,5,6,7,8]},{"name":"Big","discriminator":[9]}],
  "types":[{"name":"Pool","type":{"kind":"struct","fields":[{"name":"amount","type":"u64"},{"name":"mint","type":"pubkey"}]}},
           {"name":"Big","serialization":"bytemuck","repr":{"kind":"c"},
            "type":{"kind":"struct","fields":[{"name":"flag","type":"u8"},{"name":"value","type":"u128"}]}}]})";
constexpr std::string_view kIdlB = R"({"address":"BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB",
  "metadata":{"name":"b","version":"0.1.0","spec":"0.1.0"},"instructions":[],
  "accounts":[{"name":"Pool","discriminator":[1,2,3,4,5,6,7,8]}],
  "types":[{"name":"Pool","type":{"kind":"struct","fields":[{"name":"count","type":"u8"}]}}]})";

std::string base64(const Bytes& b) {
  std::string out(simdutf::base64_length_from_binary(b.size()), '\0');
  out.resize(simdutf::binary_to_base64(reinterpret_cast<const char*>(b.data()), b.size(), out.data()));
  return out;
}

std::string entry(std::string_view pubkey, std::string_view owner, const std::string& data) {
  return std::format(R"({{"pubkey":"{}","account":{{"data":{},"owner":"{}","lamports":10,"executable":false}}}})",
                     pubkey, data, owner);
}

std::string bytes_data(const Bytes& b) { return std::format(R"(["{}","base64"])", base64(b)); }

// Column values as a consumer reads them.
bool valid(const arrow::ArrayData& a, std::int64_t i) {
  return a.buffers[0].size() == 0 || ((a.buffers[0].data()[i / 8] >> (i % 8)) & 1) != 0;
}
std::optional<std::string> text_at(const arrow::ArrayData& a, std::int64_t i) {
  if (!valid(a, i)) return std::nullopt;
  std::int32_t from, to;
  std::memcpy(&from, a.buffers[1].data() + 4 * i, 4);
  std::memcpy(&to, a.buffers[1].data() + 4 * (i + 1), 4);
  return std::string(reinterpret_cast<const char*>(a.buffers[2].data()) + from, static_cast<std::size_t>(to - from));
}
template <class T>
std::optional<T> number_at(const arrow::ArrayData& a, std::int64_t i) {
  if (!valid(a, i)) return std::nullopt;
  T v;
  std::memcpy(&v, a.buffers[1].data() + sizeof(T) * static_cast<std::size_t>(i), sizeof(T));
  return v;
}
std::int64_t rows(const arrow::Table& t) {
  std::int64_t n = 0;
  for (const auto& b : t.batches) n += b->length;
  return n;
}

TEST(AccountTables, OwnerDecidesAndEverythingIsCounted) {
  const AccountPrograms programs({{kA, compile(kIdlA)}, {kB, compile(kIdlB)}});
  std::vector<AccountSchemas> schemas;
  for (const auto& p : programs.programs()) schemas.push_back(AccountSchemas::make(*p.idl, {}).value());

  Bytes pool_a = {1, 2, 3, 4, 5, 6, 7, 8, 42, 0, 0, 0, 0, 0, 0, 0};
  pool_a.resize(pool_a.size() + 32, 0);  // the zero key: "111...1"
  const Bytes pool_b = {1, 2, 3, 4, 5, 6, 7, 8, 200, 99, 99};  // trailing bytes accepted
  Bytes big = {9, 1, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 5};  // flag, 7 bytes of padding, value = 5
  big.resize(1 + 24, 0);
  const Bytes short_pool = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2};

  const std::string lines = std::format(
      "{}\n{}\n{}\n{}\n{}\n{}\n{}\n{}\n{}\n",
      std::format(R"({{"jsonrpc":"2.0","result":{{"context":{{"slot":77}},"value":[{}]}},"id":1}})",
                  entry("P1", kA, bytes_data(pool_a))),
      entry("P2", kB, bytes_data(pool_b)), entry("P3", "Other111", bytes_data(pool_a)),
      entry("P4", kA, bytes_data({9, 9, 9})) /* discriminator of no account... */, entry("P5", kA, R"(["@@","base64"])"),
      entry("P6", kA, bytes_data(short_pool)), R"({"jsonrpc":"2.0","result":{"context":{"slot":5},"value":null},"id":2})",
      entry("P8", kA, R"({"parsed":{},"program":"x"})"), entry("P9", kA, bytes_data(big)));

  AccountTables tables(programs, schemas);
  RpcAccountReader reader;
  const auto result = reader.read(lines, [&](const AccountView& v, std::size_t) { tables.add(v); });
  ASSERT_TRUE(result.ok()) << describe_at(*result.error);
  const AccountTables::Output out = tables.finish();

  // [9,9,9] starts with Big's one-byte discriminator, so it is a Big that is too short.
  EXPECT_EQ(out.counts.decoded, 3u);
  EXPECT_EQ(out.counts.failed, 2u);
  EXPECT_EQ(out.counts.other_owner, 1u);
  EXPECT_EQ(out.counts.unreadable, 1u);
  EXPECT_EQ(out.counts.missing, 1u);
  EXPECT_EQ(out.counts.parsed, 1u);
  EXPECT_EQ(out.counts.no_match, 0u);

  const arrow::Table& a_pool = *out.accounts[0][0];
  ASSERT_EQ(rows(a_pool), 1);
  const auto& a_cols = a_pool.batches[0]->columns;
  ASSERT_EQ(a_pool.fields.size(), 7u);
  EXPECT_EQ(a_pool.fields[5].name, "amount");
  EXPECT_EQ(text_at(*a_cols[0], 0), "P1");
  EXPECT_EQ(text_at(*a_cols[1], 0), kA);
  EXPECT_EQ(number_at<std::uint64_t>(*a_cols[2], 0), 10u);
  EXPECT_EQ(number_at<std::uint64_t>(*a_cols[3], 0), 77u);
  EXPECT_EQ(number_at<std::uint32_t>(*a_cols[4], 0), pool_a.size());
  EXPECT_EQ(number_at<std::uint64_t>(*a_cols[5], 0), 42u);
  EXPECT_EQ(text_at(*a_cols[6], 0), "11111111111111111111111111111111");

  const arrow::Table& b_pool = *out.accounts[1][0];
  ASSERT_EQ(rows(b_pool), 1);
  EXPECT_EQ(b_pool.fields[5].name, "count");
  EXPECT_EQ(number_at<std::uint8_t>(*b_pool.batches[0]->columns[5], 0), 200);
  EXPECT_EQ(number_at<std::uint64_t>(*b_pool.batches[0]->columns[3], 0), std::nullopt);  // no context: no slot

  const arrow::Table& a_big = *out.accounts[0][1];
  ASSERT_EQ(rows(a_big), 1);
  EXPECT_EQ(number_at<std::uint8_t>(*a_big.batches[0]->columns[5], 0), 1);

  const arrow::Table& errors = *out.errors;
  ASSERT_EQ(rows(errors), 3);
  const auto& e = errors.batches[0]->columns;
  struct Row {
    std::string pubkey;
    std::optional<std::string> account;
    std::string message;
  };
  const Row want[] = {
      {"P4", "Big", "unexpected end of buffer: need 7 byte(s) at offset 1, have 2"},
      {"P5", std::nullopt, "account data is not canonical base64"},
      {"P6", "Pool", "unexpected end of buffer: need 8 byte(s) at offset 0, have 2"},
  };
  for (std::int64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(text_at(*e[0], i), want[i].pubkey);
    EXPECT_EQ(text_at(*e[5], i), kA);
    EXPECT_EQ(text_at(*e[6], i), want[i].account);
    EXPECT_EQ(text_at(*e[7], i), want[i].message);
  }
}

TEST(AccountTables, FieldsMayNotTakeContextNames) {
  const auto idl = compile(R"({"address":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
    "metadata":{"name":"a","version":"0.1.0","spec":"0.1.0"},"instructions":[],
    "accounts":[{"name":"X","discriminator":[1]}],
    "types":[{"name":"X","type":{"kind":"struct","fields":[{"name":"_slot","type":"u64"}]}}]})");
  const auto schemas = AccountSchemas::make(*idl, {});
  ASSERT_FALSE(schemas);
  EXPECT_EQ(schemas.error(), "account 'X' has a field named '_slot', which is the name of a context column");
}

}  // namespace
}  // namespace brisquel::acct
