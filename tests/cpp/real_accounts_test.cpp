// The real mainnet accounts beside the repository (../shared/accounts), each
// decoded with its program's IDL through the account reader and tables; skips
// without them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/base64.hpp"
#include "core/acct/account_tables.hpp"
#include "core/acct/rpc_accounts.hpp"
#include "core/json_sink.hpp"
#include "idl/loader.hpp"

namespace brisquel::acct {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const fs::path kShared = fs::path(BRISQUEL_SOURCE_DIR) / "../shared";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

enum class Format { kRpcJson, kPumpFixture, kRaw, kBase64Text };

struct RealAccount {
  const char* file;
  Format format;
  const char* idl;
  const char* owner;  // for files that do not say
  const char* type;
  std::vector<std::string> zero_copy;  // types the caller names
  std::vector<std::string> expect;     // in the value's JSON text
};

constexpr const char* kDrift = "dRiftyHA39MWEi3m9aunc5MzRF1JYuBsbn6VPcn33UH";
constexpr const char* kDlmm = "LBUZKhRxPF3XUpBCjp4YzTKgLccjZhTSDM9YuVaPwxo";
constexpr const char* kSwitchboard = "SBondMDrcV3K4kxZR1HNVT7osZxAHVHgYXL5Ze1oMUv";
const std::vector<std::string> kDriftZeroCopy = {"PerpMarket", "SpotMarket", "User", "PrelaunchOracle"};

const std::vector<RealAccount>& real_accounts() {
  static const std::vector<RealAccount> all = {
      {"marginfi/bank_sample_1.json", Format::kRpcJson, "marginfi-current.json", "", "Bank", {}, {}},
      {"marginfi/bank_sample_2.json", Format::kRpcJson, "marginfi-current.json", "", "Bank", {}, {}},
      {"marginfi/bank_sample_3.json", Format::kRpcJson, "marginfi-current.json", "", "Bank", {}, {}},
      {"marginfi/bonk_bank.json", Format::kRpcJson, "marginfi-current.json", "", "Bank", {},
       {R"("mint": "DezXAZ8z7PnrnRJjz3wXBoRgixCa6xjnB7YaB1pPB263")", R"("mint_decimals": 5)"}},
      {"marginfi/marginfi_account_sample_1.json", Format::kRpcJson, "marginfi-current.json", "", "MarginfiAccount", {}, {}},
      {"marginfi/marginfi_account_sample_2.json", Format::kRpcJson, "marginfi-current.json", "", "MarginfiAccount", {}, {}},
      {"marginfi/marginfi_account_sample_3.json", Format::kRpcJson, "marginfi-current.json", "", "MarginfiAccount", {}, {}},
      {"marginfi/mainnet_group.json", Format::kRpcJson, "marginfi-current.json", "", "MarginfiGroup", {}, {}},
      {"meteora-dlmm/FJbEo74c2W4QLBBVUfUvi8VBWXtMdJVPuFpq2f6UV1iB.json", Format::kRpcJson, "meteora-dlmm-current.json",
       "", "LbPair", {}, {}},
      {"meteora-dlmm/6ipV2Sn7GCVgKG3Doqz1MpM33hranTMqxDmShj8Ro8cx.json", Format::kRpcJson, "meteora-dlmm-current.json",
       "", "BinArray", {}, {R"("lb_pair": "FJbEo74c2W4QLBBVUfUvi8VBWXtMdJVPuFpq2f6UV1iB")"}},
      {"meteora-dlmm/ERuqwiEFbQwNM8NhUMxUsvgGWbQpEyjbzhQLbBftCMPd.json", Format::kRpcJson, "meteora-dlmm-current.json",
       "", "BinArray", {}, {R"("lb_pair": "FJbEo74c2W4QLBBVUfUvi8VBWXtMdJVPuFpq2f6UV1iB")"}},
      {"meteora-dlmm/9t3EyC9FweyL7PBWvKz3mrXg8B9fwFc9SK3QxM4ENqhd_lb_pair.bin", Format::kRaw,
       "meteora-dlmm-current.json", kDlmm, "LbPair", {}, {}},
      {"meteora-dlmm/9t3EyC9FweyL7PBWvKz3mrXg8B9fwFc9SK3QxM4ENqhd_oracle.bin", Format::kRaw,
       "meteora-dlmm-current.json", kDlmm, "Oracle", {}, {}},
      {"meteora-dlmm/EtAdVRLFH22rjWh3mcUasKFF27WtHhsaCvK27tPFFWig_bin_array_1.bin", Format::kRaw,
       "meteora-dlmm-current.json", kDlmm, "BinArray", {},
       {R"("lb_pair": "EtAdVRLFH22rjWh3mcUasKFF27WtHhsaCvK27tPFFWig")"}},
      {"raydium-clmm/Ds33rQ1d4AXwxqyeXX6Pc3G4pFNr6iWb3dd8YfBBQMPr.bin", Format::kRaw, "raydium-clmm-current.json",
       "CAMMCzo5YL8w4VFF8KVHrK22GGUsp5VTaW7grrKgrWqK", "PoolState", {}, {}},
      {"raydium-cpmm/D4FPEruKEHrG5TenZ2mpDGEfu1iUvTiqBxvpU8HLBvC2.json", Format::kRpcJson, "raydium-cpmm-current.json",
       "", "AmmConfig", {}, {}},
      {"pump/finalized_current_layout_ffzxakv.json", Format::kPumpFixture, "pump-current.json", "", "BondingCurve", {},
       {}},
      {"drift/perp_market_liquidation_tests_8917.b64", Format::kBase64Text, "drift-current.json", kDrift, "PerpMarket",
       kDriftZeroCopy, {}},
      {"drift/perp_market_sol_repeg_tests_420.b64", Format::kBase64Text, "drift-current.json", kDrift, "PerpMarket",
       kDriftZeroCopy, {R"("name": [83, 79, 76, 45, 80, 69, 82, 80, 32)"}},  // "SOL-PERP "
      {"drift/perp_market_btc_orders_tests_3352.b64", Format::kBase64Text, "drift-current.json", kDrift, "PerpMarket",
       kDriftZeroCopy, {R"("name": [66, 84, 67, 45, 80, 69, 82, 80, 32)"}},  // "BTC-PERP "
      {"drift/spot_market_usdc_liquidation_tests_8930.b64", Format::kBase64Text, "drift-current.json", kDrift,
       "SpotMarket", kDriftZeroCopy, {R"("name": [85, 83, 68, 67, 32)"}},  // "USDC "
      {"drift/spot_market_sol_orders_tests_3391.b64", Format::kBase64Text, "drift-current.json", kDrift, "SpotMarket",
       kDriftZeroCopy, {R"("name": [83, 79, 76, 32)"}},  // "SOL "
      {"drift/user_liquidation_tests_9009.b64", Format::kBase64Text, "drift-current.json", kDrift, "User",
       kDriftZeroCopy, {}},
      {"drift/prelaunch_oracle_liquidation_tests_8958.b64", Format::kBase64Text, "drift-current.json", kDrift,
       "PrelaunchOracle", kDriftZeroCopy, {}},
      {"switchboard-on-demand/EtbG8PSDCyCSmDH8RE4Nf2qTV9d6P6zShzHY2XWvjFJf.bin", Format::kRaw,
       "switchboard-on-demand-current.json", kSwitchboard, "PullFeedAccountData", {}, {}},
      {"switchboard-on-demand/swb_pull_sol_price.bin", Format::kRaw, "switchboard-on-demand-current.json", kSwitchboard,
       "PullFeedAccountData", {}, {}},
  };
  return all;
}

// An account's data, and the owner and pubkey its file gives.
struct Loaded {
  Bytes data;
  std::string owner, pubkey;
};

Loaded load(const RealAccount& a) {
  const std::string text = slurp(kShared / "accounts" / a.file);
  Loaded out;
  out.owner = a.owner;
  auto base64 = [](std::string_view b64) {
    Bytes bytes(codec::base64_decoded_capacity(b64.size()));
    bytes.resize(codec::decode_base64_strict(b64, bytes.data()).value());
    return bytes;
  };
  switch (a.format) {
    case Format::kRaw: out.data.assign(text.begin(), text.end()); break;
    case Format::kBase64Text: out.data = base64(text); break;
    case Format::kPumpFixture: {
      const std::string_view key = "\"data_base64\": \"";
      const std::size_t at = text.find(key) + key.size();
      out.data = base64(std::string_view(text).substr(at, text.find('"', at) - at));
      out.owner = "6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P";
      break;
    }
    case Format::kRpcJson: {
      RpcAccountReader reader;
      const auto result = reader.read(text, [&](const AccountView& v, std::size_t) {
        out.data.assign(v.data.begin(), v.data.end());
        out.owner = v.owner;
        out.pubkey = v.pubkey;
      });
      EXPECT_TRUE(result.ok()) << a.file;
      break;
    }
  }
  return out;
}

// Legacy IDLs may not say their address: the owner's is given.
std::shared_ptr<const CompiledIdl> compile(const std::string& idl_file, const std::vector<std::string>& zero_copy,
                                           std::string_view address) {
  auto idl = idl::convert_idl(slurp(kShared / "idls" / idl_file), address);
  if (!idl) {
    ADD_FAILURE() << idl_file << ": " << idl.error();
    return nullptr;
  }
  auto compiled = CompiledIdl::build(*idl, AccountOptions{zero_copy});
  if (!compiled) {
    ADD_FAILURE() << idl_file << ": " << compiled.error();
    return nullptr;
  }
  return std::shared_ptr<const CompiledIdl>(std::move(*compiled));
}

struct Outcome {
  AccountOutcome outcome;
  const AccountLayout* layout = nullptr;
  bool ok = false;
  std::string json;  // the value, or the error message
  std::uint64_t read = 0;
};

Outcome decode(const AccountPrograms& programs, const AccountView& view, bool old_versions) {
  Outcome out;
  AccountMatch match;
  out.outcome = programs.classify(view, match);
  if (out.outcome != AccountOutcome::kMatched) return out;
  out.layout = match.layout;
  JsonSink sink(out.json);
  WalkState state(match.body);
  out.ok = walk_account(sink, state, *match.layout, {}, old_versions);
  if (!out.ok) out.json = describe(state.error);
  out.read = state.cursor.pos();
  return out;
}

TEST(RealAccounts, EachDecodesWithItsIdl) {
  if (!fs::exists(kShared / "accounts")) GTEST_SKIP() << "no ../shared/accounts";
  for (const RealAccount& a : real_accounts()) {
    const Loaded loaded = load(a);
    const AccountPrograms programs({{loaded.owner, compile(a.idl, a.zero_copy, loaded.owner)}});
    AccountView view;
    view.owner = loaded.owner;
    view.data = loaded.data;
    const Outcome got = decode(programs, view, false);
    ASSERT_EQ(got.outcome, AccountOutcome::kMatched) << a.file;
    EXPECT_EQ(got.layout->name, a.type) << a.file;
    ASSERT_TRUE(got.ok) << a.file << ": " << got.json;
    for (const std::string& want : a.expect) EXPECT_NE(got.json.find(want), std::string::npos) << a.file << ": " << want;
    // A zero-copy account reads exactly its C layout; the rest of the data
    // (the DLMM oracle's observations, the pump curve's reserve) is left.
    const std::size_t body = loaded.data.size() - got.layout->discriminator.size();
    if (got.layout->zero_copy) {
      EXPECT_EQ(got.read, got.layout->c_size.value()) << a.file;
    }
    EXPECT_LE(got.read, body) << a.file;
  }
}

// Drift's IDL does not say its accounts are zero-copy; read as Borsh they
// still decode (no padding, and 128-bit integers aligned to 8), but an
// account whose C layout needs padding would not. Data lengths tell which:
// 8 + c_size for every one.
TEST(RealAccounts, SizesTellZeroCopyApart) {
  if (!fs::exists(kShared / "accounts")) GTEST_SKIP() << "no ../shared/accounts";
  for (const RealAccount& a : real_accounts()) {
    const Loaded loaded = load(a);
    auto idl = compile(a.idl, {}, loaded.owner);
    ASSERT_TRUE(idl);
    const AccountLayout* layout = idl->match_account(loaded.data);
    ASSERT_NE(layout, nullptr) << a.file;
    const std::size_t body = loaded.data.size() - layout->discriminator.size();
    ASSERT_TRUE(layout->c_size) << a.file;
    EXPECT_LE(layout->borsh_min_size, body) << a.file;
    // Zero-copy in fact (by the IDL or by the caller): the data holds the C
    // layout; Borsh accounts may be shorter than it (raydium's AmmConfig).
    if (layout->zero_copy || !a.zero_copy.empty()) {
      EXPECT_LE(*layout->c_size, body) << a.file;
    }
  }
}

// The early 49-byte bonding curve ends where a field of the current layout
// begins: an error row by default, an old version when asked.
TEST(RealAccounts, OldPumpCurve) {
  if (!fs::exists(kShared / "accounts")) GTEST_SKIP() << "no ../shared/accounts";
  const std::string text = slurp(kShared / "accounts/pump/legacy_49_byte_layout.json");
  const std::string pump = "6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P";
  const AccountPrograms programs({{pump, compile("pump-current.json", {}, pump)}});
  std::vector<AccountSchemas> schemas;
  for (const bool old_versions : {false, true}) {
    TableOptions options;
    options.null_short_events = old_versions;
    schemas = {AccountSchemas::make(*programs.programs()[0].idl, options).value()};
    AccountTables tables(programs, schemas);
    RpcAccountReader reader;
    const auto result = reader.read(text, [&](const AccountView& v, std::size_t) { tables.add(v); });
    ASSERT_TRUE(result.ok());
    const AccountTables::Output out = tables.finish();
    EXPECT_EQ(out.counts.decoded, old_versions ? 1u : 0u);
    EXPECT_EQ(out.counts.failed, old_versions ? 0u : 1u);
    std::int64_t errors = 0;
    for (const auto& b : out.errors->batches) errors += b->length;
    EXPECT_EQ(errors, old_versions ? 0 : 1);

    AccountView view;
    RpcAccountReader again;
    std::string json;
    ASSERT_TRUE(again.read(text, [&](const AccountView& v, std::size_t) {
      const Outcome got = decode(programs, v, old_versions);
      EXPECT_EQ(got.ok, old_versions);
      json = got.json;
    }).ok());
    if (old_versions) {
      EXPECT_NE(json.find(R"("complete": false, "creator": null)"), std::string::npos) << json;
    } else {
      EXPECT_EQ(json, "unexpected end of buffer: need 32 byte(s) at offset 41, have 41");
    }
  }
}

TEST(RealAccounts, MangoAccountWithLegacyIdl) {
  if (!fs::exists(kShared / "accounts")) GTEST_SKIP() << "no ../shared/accounts";
  const std::string data = slurp(kShared / "accounts/mango-v4/mangoaccount-v0.21.3.bin");
  const std::string mango = "4MangoMjqJ2firMokCjjGgoK8d4MXcrgL7XJaL3w6fVg";
  const AccountPrograms programs({{mango, compile("mango-v4-legacy.json", {}, mango)}});
  AccountView view;
  view.owner = mango;
  view.data = std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  const Outcome got = decode(programs, view, false);
  ASSERT_EQ(got.outcome, AccountOutcome::kMatched);
  EXPECT_EQ(got.layout->name, "MangoAccount");
  EXPECT_TRUE(got.ok) << got.json;
}

}  // namespace
}  // namespace brisquel::acct
