// The account reader over every RPC shape and data encoding, written here
// from generated accounts and read back; zstd bombs, broken data, forged and
// truncated text.
#include <gtest/gtest.h>

#include <cstring>
#include <format>
#include <random>
#include <string>
#include <vector>

#include <simdutf.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include "core/acct/rpc_accounts.hpp"
#include "rpc_test_support.hpp"

namespace brisquel::acct {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;
using tx::testing::base58_reference;

// An account as the test wrote it, and as the reader hands it back.
struct Account {
  std::string pubkey, owner;
  std::optional<std::uint64_t> lamports, slot, rent_epoch;
  std::optional<bool> executable;
  DataState state = DataState::kBytes;
  Bytes data;
  std::string data_error;
  bool operator==(const Account&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Account& a) {
  return os << std::format("{{{} {} lamports={} slot={} state={} data={}B {}}}", a.pubkey, a.owner,
                           a.lamports.value_or(0), a.slot ? std::to_string(*a.slot) : "-", int(a.state),
                           a.data.size(), a.data_error);
}

Account owned(const AccountView& v) {
  return {std::string(v.pubkey), std::string(v.owner), v.lamports, v.slot, v.rent_epoch, v.executable, v.state,
          Bytes(v.data.begin(), v.data.end()), std::string(v.data_error)};
}

struct Read {
  std::vector<Account> accounts;
  json::ReadResult result;
};

Read read(std::string_view text, std::size_t max_bytes = kMaxAccountBytes) {
  RpcAccountReader reader({}, max_bytes);
  Read out;
  out.result = reader.read(text, [&](const AccountView& v, std::size_t) { out.accounts.push_back(owned(v)); });
  return out;
}

std::string base64(const Bytes& b) {
  std::string out(simdutf::base64_length_from_binary(b.size()), '\0');
  out.resize(simdutf::binary_to_base64(reinterpret_cast<const char*>(b.data()), b.size(), out.data()));
  return out;
}

Bytes zstd(const Bytes& b, int level = 3) {
  Bytes out(ZSTD_compressBound(b.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), b.data(), b.size(), level));
  return out;
}

std::size_t pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

Bytes random_bytes(Rng& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

enum class Encoding { kBase64, kZstd, kBase58, kBareBase58 };

// The JSON of an account object, its data in `encoding`.
std::string account_json(const Account& a, Encoding encoding) {
  std::string data;
  switch (encoding) {
    case Encoding::kBase64: data = std::format("[\"{}\",\"base64\"]", base64(a.data)); break;
    case Encoding::kZstd: data = std::format("[\"{}\", \"base64+zstd\"]", base64(zstd(a.data))); break;
    case Encoding::kBase58: data = std::format("[\"{}\",\"base58\"]", base58_reference(a.data)); break;
    case Encoding::kBareBase58: data = std::format("\"{}\"", base58_reference(a.data)); break;
  }
  std::string out = std::format("{{\"data\":{},\"executable\":{},\"lamports\":{},\"owner\":\"{}\"", data,
                                *a.executable ? "true" : "false", *a.lamports, a.owner);
  if (a.rent_epoch) out += std::format(",\"rentEpoch\":{}", *a.rent_epoch);
  return out + std::format(",\"space\":{}}}", a.data.size());
}

std::string entry_json(const Account& a, Encoding encoding, bool pubkey_first) {
  if (pubkey_first) return std::format("{{\"pubkey\":\"{}\",\"account\":{}}}", a.pubkey, account_json(a, encoding));
  return std::format("{{\"account\":{},\"pubkey\":\"{}\"}}", account_json(a, encoding), a.pubkey);
}

std::string response(const std::string& result, int id) {
  return std::format("{{\"jsonrpc\":\"2.0\",\"result\":{},\"id\":{}}}", result, id);
}

std::string with_context(const std::string& value, std::uint64_t slot, bool context_first) {
  const std::string context = std::format("\"context\":{{\"apiVersion\":\"2.1.0\",\"slot\":{}}}", slot);
  return context_first ? std::format("{{{},\"value\":{}}}", context, value)
                       : std::format("{{\"value\":{},{}}}", value, context);
}

// Every shape around the same accounts reads back the same accounts: pubkeys
// where the shape has them, the slot of the context where there is one.
TEST(AccountReader, EveryShapeAndEncoding) {
  Rng rng(17);
  const std::string owners[] = {base58_reference(random_bytes(rng, 32)), base58_reference(random_bytes(rng, 32))};
  for (int round = 0; round < 60; ++round) {
    std::vector<Account> accounts;
    for (std::size_t i = 0, n = 1 + pick(rng, 5); i < n; ++i) {
      Account a;
      a.pubkey = base58_reference(random_bytes(rng, 32));
      a.owner = owners[pick(rng, 2)];
      a.lamports = rng() >> pick(rng, 64);
      a.executable = pick(rng, 2) != 0;
      if (pick(rng, 2)) a.rent_epoch = pick(rng, 2) ? UINT64_MAX : rng() % 1000;
      // Base58 only for short data, as nodes send it.
      a.data = random_bytes(rng, pick(rng, 2) ? pick(rng, 120) : pick(rng, 3000));
      if (pick(rng, 4) == 0) a.data.assign(pick(rng, 2000), 0);  // compresses well
      accounts.push_back(a);
    }
    const auto encoding = [&](const Account& a) {
      return static_cast<Encoding>(pick(rng, a.data.size() <= 120 ? 4 : 2));
    };
    const std::uint64_t slot = rng() % 400'000'000;
    const bool context_first = pick(rng, 4) != 0;
    std::vector<Account> no_pubkey = accounts, with_slot = accounts, no_pubkey_slot = accounts;
    for (auto& a : no_pubkey) a.pubkey.clear();
    for (auto& a : with_slot) a.slot = slot;
    for (auto& a : no_pubkey_slot) a.pubkey.clear(), a.slot = slot;

    auto join = [&](auto&& make) {
      std::string out = "[";
      for (std::size_t i = 0; i < accounts.size(); ++i) out += (i ? "," : "") + make(accounts[i]);
      return out + "]";
    };
    auto entry = [&](const Account& a) { return entry_json(a, encoding(a), pick(rng, 2) != 0); };
    auto bare = [&](const Account& a) { return account_json(a, encoding(a)); };

    struct Shape {
      std::string name, text;
      const std::vector<Account>* want;
    };
    std::string lines, info_lines;
    for (const Account& a : accounts) lines += entry(a) + "\n";
    for (const Account& a : accounts) info_lines += response(with_context(bare(a), slot, context_first), 1) + "\n";
    const Shape shapes[] = {
        {"getProgramAccounts", response(join(entry), 1), &accounts},
        {"getProgramAccounts with context", response(with_context(join(entry), slot, context_first), 2), &with_slot},
        {"getMultipleAccounts", response(with_context(join(bare), slot, context_first), 3), &no_pubkey_slot},
        {"getAccountInfo lines", info_lines, &no_pubkey_slot},
        {"account dumps as lines", lines, &accounts},
        {"a bare result", join(entry), &accounts},
        {"an array of accounts", join(bare), &no_pubkey},
        {"a result with context", with_context(join(entry), slot, context_first), &with_slot},
        {"an array of responses", "[" + response(join(entry), 1) + ",\n" + response("[]", 2) + "]", &accounts},
    };
    for (const Shape& shape : shapes) {
      const Read got = read(shape.text);
      ASSERT_TRUE(got.result.ok()) << shape.name << ": " << describe_at(*got.result.error);
      EXPECT_EQ(got.accounts, *shape.want) << shape.name << " round " << round;
      EXPECT_EQ(got.result.visited, shape.want->size());
    }
  }
}

TEST(AccountReader, NullsAreMissingAccounts) {
  const std::string owner = "11111111111111111111111111111111";
  const std::string text = response(
      with_context(std::format("[null,{{\"data\":[\"\",\"base64\"],\"owner\":\"{}\",\"lamports\":1}},null]", owner),
                   7, true),
      1);
  const Read got = read(text);
  ASSERT_TRUE(got.result.ok());
  ASSERT_EQ(got.accounts.size(), 3u);
  EXPECT_EQ(got.accounts[0].state, DataState::kMissing);
  EXPECT_EQ(got.accounts[0].slot, 7u);
  EXPECT_EQ(got.accounts[1].state, DataState::kBytes);
  EXPECT_EQ(got.accounts[2].state, DataState::kMissing);
  // getAccountInfo of no account, and a null result.
  EXPECT_EQ(read(response(with_context("null", 9, true), 1)).accounts.at(0).state, DataState::kMissing);
  EXPECT_EQ(read(response("null", 1)).accounts.at(0).state, DataState::kMissing);
  // A repeated `value` counts once, the first, with the slot of a later context.
  const Read repeated = read(R"({"value":[null],"context":{"slot":4},"value":[null,null]})");
  ASSERT_TRUE(repeated.result.ok());
  ASSERT_EQ(repeated.accounts.size(), 1u);
  EXPECT_EQ(repeated.accounts[0].slot, 4u);
}

// Data that does not decode fails its own account only; the accounts after it read on.
TEST(AccountReader, BadDataFailsOnlyItsAccount) {
  const std::string owner = "So11111111111111111111111111111111111111112";
  Bytes zeros(kMaxAccountBytes + 1, 0);
  Bytes exact(kMaxAccountBytes, 7);
  Bytes broken = zstd(Bytes(5000, 1));
  broken.resize(broken.size() / 2);
  struct Case {
    std::string data;
    std::string error;  // empty: decodes
  };
  const Case cases[] = {
      {std::format("[\"{}\",\"base64+zstd\"]", base64(zstd(zeros, 19))), "zstd data decompresses to more than 10485760 bytes"},
      {std::format("[\"{}\",\"base64+zstd\"]", base64(zstd(exact))), ""},
      {std::format("[\"{}\",\"base64+zstd\"]", base64(broken)), "zstd data ends inside a frame"},
      {"[\"AAAA\",\"base64+zstd\"]", "zstd: Unknown frame descriptor"},
      {"[\"not base64!\",\"base64\"]", "account data is not canonical base64"},
      {"[\"AA==\",\"base64\"]", ""},
      {"[\"0OIl\",\"base58\"]", "account data is not base58"},
      {"\"0OIl\"", "account data is not base58"},
      {"[\"abc\",\"jsonParsed\"]", "account data encoding \"jsonParsed\" is not supported (base64, base64+zstd, base58)"},
      {std::format("[\"{}\",\"base58\"]", std::string(20000, '2')),
       "base58 account data of 20000 characters, above the 14336 decoded"},
  };
  for (const Case& c : cases) {
    const std::string text = std::format(
        "[{{\"pubkey\":\"A\",\"account\":{{\"data\":{},\"owner\":\"{}\"}}}},{{\"pubkey\":\"B\",\"account\":"
        "{{\"data\":[\"AQID\",\"base64\"],\"owner\":\"{}\"}}}}]",
        c.data, owner, owner);
    const Read got = read(text);
    ASSERT_TRUE(got.result.ok()) << c.error << ": " << describe_at(*got.result.error);
    ASSERT_EQ(got.accounts.size(), 2u) << c.error;
    if (c.error.empty()) {
      EXPECT_EQ(got.accounts[0].state, DataState::kBytes);
    } else {
      EXPECT_EQ(got.accounts[0].state, DataState::kUnreadable) << c.error;
      EXPECT_EQ(got.accounts[0].data_error, c.error);
    }
    EXPECT_EQ(got.accounts[1].data, (Bytes{1, 2, 3}));
  }
  const Read parsed = read(std::format(
      "{{\"data\":{{\"parsed\":{{\"info\":{{}}}},\"program\":\"spl-token\",\"space\":165}},\"owner\":\"{}\"}}", owner));
  ASSERT_TRUE(parsed.result.ok());
  EXPECT_EQ(parsed.accounts.at(0).state, DataState::kParsed);
}

// Text that is not an accepted shape stops the read with where it went wrong.
TEST(AccountReader, ShapeErrorsSayWhere) {
  using enum Error::Kind;
  const std::string ok = R"({"pubkey":"P","account":{"data":["","base64"],"owner":"O","lamports":5}})";
  struct Case {
    std::string text;
    Error::Kind kind;
    std::size_t line, column;
    std::string message;
  };
  const Case cases[] = {
      {ok + "\n" + ok + "\n" + R"({"pubkey":"P","account":{"data":["","base64"],"owner":"O","lamports":-5}})", Shape,
       3, 70, "`lamports`: expected an integer in 0..2^64-1 or null, found a number -5"},
      {ok + "\n" + R"({"pubkey":"P","account":{"owner":"O"}})", Shape, 2, 1, "an account without `data`"},
      {R"({"pubkey":"P","account":{"data":["","base64"]}})", Shape, 1, 1, "an account without `owner`"},
      {R"({"data":["",1],"owner":"O"})", Shape, 1, 13, "`data[1]`: expected a string, found a number 1"},
      {R"({"data":["","base64","x"],"owner":"O"})", Shape, 1, 22,
       "`data`: expected [text, encoding], found a longer array"},
      {R"({"data":5,"owner":"O"})", Shape, 1, 9,
       "`data`: expected [text, encoding], a base58 string or a parsed object, found a number 5"},
      {R"({"jsonrpc":"2.0","error":{"code":-32602,"message":"bad"},"id":1})", RpcError, 1, 26, "RPC error -32602: bad"},
      {R"({"jsonrpc":"2.0","id":1})", Shape, 1, 1, "a JSON-RPC response without `result` or `error`"},
      {R"({"foo":1})", Shape, 1, 1, "an object that is not an account, a {pubkey, account} entry or an RPC response"},
      {R"({"result":[[]]})", Shape, 1, 12,
       "`(array element)`: expected an account, a {pubkey, account} entry, an array of them, or null, found an array"},
      {"42", Shape, 1, 1,
       "expected an account, a {pubkey, account} entry or an RPC response, or an array of them, found a lone scalar"},
      {R"({"context":{"slot":"x"},"value":null})", Shape, 1, 20,
       "`context.slot`: expected an integer in 0..2^64-1 or null, found a string \"x\""},
  };
  for (const Case& c : cases) {
    const Read got = read(c.text);
    ASSERT_FALSE(got.result.ok()) << c.text;
    const Error& e = *got.result.error;
    EXPECT_EQ(e.kind, c.kind) << c.text;
    EXPECT_EQ(e.text, c.message) << c.text;
    EXPECT_EQ(e.line, c.line) << c.text << ": " << describe_at(e);
    EXPECT_EQ(e.column, c.column) << c.text << ": " << describe_at(e);
  }
}

// A text cut anywhere is an error (truncated at the end of the text), never a
// crash; what came before the cut on earlier lines was handed over.
TEST(AccountReader, CutTextIsAnError) {
  const std::string one = response(
      with_context(R"([{"pubkey":"P","account":{"data":["AQID","base64"],"owner":"O","lamports":5}}])", 3, true), 1);
  const std::string pretty =
      "{\n  \"jsonrpc\": \"2.0\",\n  \"result\": {\n    \"context\": {\"slot\": 3},\n    \"value\": "
      R"([{"pubkey":"P","account":{"data":["AQID","base64"],"owner":"O","lamports":5}}])"
      "\n  },\n  \"id\": 1\n}";
  ASSERT_TRUE(read(pretty).result.ok()) << describe_at(*read(pretty).result.error);
  for (const std::string& text : {pretty, one + "\n" + one}) {
    for (std::size_t cut = 1; cut < text.size(); ++cut) {
      const std::string_view part(text.data(), cut);
      if (part.find_last_not_of(" \n") != cut - 1 || part.back() == '}') continue;  // a cut after a whole value may be whole
      const Read got = read(part);
      ASSERT_FALSE(got.result.ok()) << cut;
      EXPECT_TRUE(got.result.error->kind == Error::Kind::Truncated ||
                  got.result.error->kind == Error::Kind::InvalidJson)
          << cut << ": " << describe_at(*got.result.error);
    }
  }
}

// Text is read in place when the bytes after it can be read, else copied.
// Placed against a page that cannot be read, and followed by bytes that would
// change the value were they taken for JSON, every text reads as a copy of it.
TEST(AccountReader, TextBeforeAnUnreadablePageReadsAsACopy) {
  const long page = ::sysconf(_SC_PAGESIZE);
  auto* pages = static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(::mprotect(pages + page, page, PROT_NONE), 0);
  const std::string entry = R"({"pubkey":"P","account":{"data":["AQID","base64"],"owner":"O","lamports":5}})";
  const std::string texts[] = {
      response("[" + entry + "," + entry + "]", 1),
      entry + "\n" + entry + "\n",
      entry + "\n" + entry,
      R"([{"pubkey":"P","account":{"data":["AQID","base64"],"owner":"O","lamports":5)",
      R"([{"pubkey":"P","account":{"data":["AQ)",
  };
  for (const std::string& text : texts) {
    const Read want = read(std::string(text));
    for (const std::size_t room : {0, 1, 63, 64, 65, 200}) {
      for (const char garbage : {'9', '"', '\\', ']'}) {
        char* const end = pages + page - room;
        std::memset(end, garbage, room);
        char* const start = end - text.size();
        std::memcpy(start, text.data(), text.size());
        const Read got = read(std::string_view(start, text.size()));
        EXPECT_EQ(got.accounts, want.accounts) << text << " room " << room;
        ASSERT_EQ(got.result.ok(), want.result.ok()) << text << " room " << room << " garbage " << garbage;
        if (!want.result.ok()) {
          EXPECT_EQ(describe_at(*got.result.error), describe_at(*want.result.error)) << room;
          EXPECT_EQ(got.result.error->offset, want.result.error->offset) << room;
        }
      }
    }
  }
  ::munmap(pages, 2 * page);
}

TEST(AccountReader, VisitorStops) {
  std::string lines;
  for (int i = 0; i < 5; ++i) lines += R"({"data":["","base64"],"owner":"O"})" "\n";
  RpcAccountReader reader;
  int calls = 0;
  const json::ReadResult r = reader.read(lines, [&](const AccountView&, std::size_t index) { return ++calls, index < 2; });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace brisquel::acct
