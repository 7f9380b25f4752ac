// Instruction calls of the real mainnet transactions beside the repository,
// decoded with the real IDLs of their programs: every call decodes (calls of
// older program versions by the old-version rule), and each failed
// transaction's error lands on the call whose invocation failed, or on none.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <filesystem>
#include <format>
#include <fstream>
#include <map>
#include <sstream>

#include "core/json_sink.hpp"
#include "core/tx/call_tables.hpp"
#include "core/tx/calls.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/walk.hpp"
#include "idl/loader.hpp"
#include "real_data.hpp"

namespace brisquel::tx {
namespace {

using testing::kShared;
using testing::real_transactions;
using testing::slurp;

#define SKIP_WITHOUT_REAL_DATA() \
  if (!std::filesystem::is_directory(kShared / "transactions")) GTEST_SKIP() << "no " << kShared

// The programs with an IDL here (by address).
constexpr std::pair<std::string_view, std::string_view> kPrograms[] = {
    {"6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P", "pump-current.json"},
    {"pAMMBay6oceH9fJKBRHGP5D4bD4sWpmSwMn52FMfXEA", "pump-amm-current.json"},
    {"LBUZKhRxPF3XUpBCjp4YzTKgLccjZhTSDM9YuVaPwxo", "meteora-dlmm-current.json"},
    {"CAMMCzo5YL8w4VFF8KVHrK22GGUsp5VTaW7grrKgrWqK", "raydium-clmm-current.json"},
    {"CPMMoo8L3F4NbTegBCKVNunggL7H1ZpdTHKxQB5qKP1C", "raydium-cpmm-current.json"},
};

struct Programs {
  std::vector<TxProgram> programs;
  std::vector<CallSchemas> schemas;

  explicit Programs(std::string_view clmm_idl = "raydium-clmm-current.json") {
    TableOptions options;
    options.null_short_events = true;
    for (auto [address, file] : kPrograms) {
      if (file.starts_with("raydium-clmm")) file = clmm_idl;
      auto idl = idl::convert_idl(slurp(kShared / "idls" / file), address);
      EXPECT_TRUE(idl) << file;
      auto compiled = CompiledIdl::build(*idl);
      EXPECT_TRUE(compiled) << file;
      auto events = TableSchemas::make(**compiled, options, kTxContextNames);
      programs.push_back(TxProgram{std::string(address), std::move(*compiled), std::move(*events)});
      schemas.push_back(CallSchemas::make(*programs.back().idl, options));
    }
  }
  std::vector<std::string> addresses() const {
    std::vector<std::string> out;
    for (const auto& p : programs) out.push_back(p.address);
    return out;
  }
};

std::string program_name(std::uint32_t p) {
  return std::string(kPrograms[p].second.substr(0, kPrograms[p].second.find("-current")));
}

// Every call of the real transactions, each as a line: where, what, its
// arguments, and how it failed; the errors alone; and how calls differ from
// their IDL (older or newer program versions).
struct Walked {
  std::vector<std::string> calls, errors;
  std::map<std::string, int> versions;
  std::map<std::string, std::int64_t> rows;  // per "program instruction"
  std::int64_t table_rows = 0, error_rows = 0;
};

Walked walk_all(Programs& decoder) {
  TxWalker walker(decoder.addresses());
  CallFinder finder(decoder.programs);
  CallTables tables(decoder.programs, decoder.schemas);
  RpcJsonReader reader({}, ReadScope::kCalls);
  Walked out;
  std::int64_t index = 0;
  for (const auto& [file, text] : real_transactions()) {
    const ReadResult read = reader.read(text, [&](const TxView& view, std::size_t) {
      const WalkResult& walk = walker.walk(view, true);
      const auto& calls = finder.find(view, walk);
      tables.add(index++, view, walk, calls);
      for (const FoundCall& c : calls) {
        std::string line = std::format("{} {} {}.{} d{} {}", file, program_name(c.program), c.instruction,
                                       c.inner ? std::to_string(*c.inner) : "-", c.depth ? std::to_string(*c.depth) : "-",
                                       c.layout ? c.layout->name : "?");
        EXPECT_EQ(c.problem, CallProblem::None) << line << ": " << describe_problem(c);
        if (c.problem != CallProblem::None) continue;
        ++out.rows[std::format("{} {}", program_name(c.program), c.layout->name)];
        if (c.failed) line += " failed";
        if (c.error != nullptr) {
          out.errors.push_back(std::format("{} error {} {} [{}]", line, c.error->code ? std::to_string(*c.error->code) : "-",
                                           c.error->name.empty() ? "-" : c.error->name, c.error->text));
        }
        // Decoded strictly first: what only the old-version rule reads is a call of an older version.
        std::string json;
        JsonSink strict_sink(json);
        WalkState strict(c.args);
        JsonSink::Walk strict_walk(strict_sink, strict);
        const bool whole = strict_walk.decode_fields(c.layout->args, {}, false);
        json.clear();
        JsonSink sink(json);
        WalkState state(c.args);
        JsonSink::Walk w(sink, state);
        EXPECT_TRUE(w.decode_fields(c.layout->args, {}, true)) << line << ": " << describe(state.error);
        const std::string key = std::format("{} {}", program_name(c.program), c.layout->name);
        if (!whole) ++out.versions[key + ": shorter arguments"];
        if (state.cursor.remaining() != 0) ++out.versions[std::format("{}: {} bytes after", key, state.cursor.remaining())];
        const auto given = static_cast<std::size_t>(std::ranges::count_if(c.named, [](auto a) { return !a.empty(); }));
        if (c.remaining.empty() && given < c.layout->accounts.size()) {
          ++out.versions[std::format("{}: {} of {} accounts", key, given, c.layout->accounts.size())];
        }
        if (!c.remaining.empty()) ++out.versions[std::format("{}: {} accounts more", key, c.remaining.size())];
        out.calls.push_back(line + " " + json);
      }
    });
    EXPECT_TRUE(read.ok()) << file << ": " << describe_at(*read.error);
  }
  const CallTables::Output tables_out = tables.finish();
  for (const auto& per_program : tables_out.calls) {
    for (const auto& table : per_program) {
      for (const auto& batch : table->batches) out.table_rows += batch->length;
    }
  }
  for (const auto& batch : tables_out.errors->batches) out.error_rows += batch->length;
  return out;
}

TEST(RealCalls, EveryCallDecodes) {
  SKIP_WITHOUT_REAL_DATA();
  Programs decoder;
  const Walked walked = walk_all(decoder);
  // 63 calls in the 58 transaction objects (a few are the same transaction twice).
  EXPECT_EQ(walked.calls.size(), 63u);
  EXPECT_EQ(walked.table_rows, 63);
  EXPECT_EQ(walked.error_rows, 0);
  // Older pump and pump AMM versions: buy without today's track_volume,
  // create without creator, fewer accounts (old sell: 12 of 14).
  EXPECT_EQ(walked.versions.at("pump buy: shorter arguments"), 20);
  EXPECT_EQ(walked.versions.at("pump create: shorter arguments"), 4);
  EXPECT_EQ(walked.versions.at("pump sell: 12 of 14 accounts"), 3);
  EXPECT_EQ(walked.versions.at("pump-amm buy: shorter arguments"), 3);
  for (const auto& [what, n] : walked.versions) EXPECT_EQ(what.find("bytes after"), std::string::npos) << what;
  if (std::getenv("BRISQUEL_SHOW_CALLS") != nullptr) {
    for (const auto& l : walked.calls) std::printf("%s\n", l.c_str());
    for (const auto& [what, n] : walked.versions) std::printf("%4d %s\n", n, what.c_str());
  }
}

// The failed transactions: every call failed; the error on the call whose
// invocation failed innermost, and on none where that program has no IDL (a
// router, another program's same code) or is not called by instruction data
// we decode (the System Program under pump).
TEST(RealCalls, FailuresLandOnTheFailingCall) {
  SKIP_WITHOUT_REAL_DATA();
  Programs decoder;
  const Walked walked = walk_all(decoder);
  const std::vector<std::string> want = {
      "opsis_pumpamm_4MqxZnZ3.json pump-amm 4.- d1 buy_exact_quote_in failed error 6040 "
      "BuySlippageBelowMinBaseAmountOut [custom program error: 0x1798]",
      "savablock_clmm_swapv2_sd91Hoez.json raydium-clmm 1.- d1 swap_v2 failed error 6013 SqrtPriceLimitOverflow "
      "[custom program error: 0x177d]",
      "savablock_dlmm_swap2_4p98qypP.json meteora-dlmm 3.- d1 swap2 failed error 6003 "
      "ExceededAmountSlippageTolerance [custom program error: 0x1773]",
      "savablock_jupiter_dlmm_cu_5gX767JS.json meteora-dlmm 3.0 d2 swap failed error - - "
      "[exceeded CUs meter at BPF instruction]",
      "savablock_pumpamm_buy_2ifGxiiU.json pump-amm 1.- d1 buy failed error 6004 ExceededSlippage "
      "[custom program error: 0x1774]",
  };
  EXPECT_EQ(walked.errors, want);
  std::size_t failed = 0;
  for (const std::string& line : walked.calls) {
    const bool in_failed_file = line.starts_with("savablock_") || line.starts_with("opsis_");
    EXPECT_EQ(line.find(" failed") != std::string::npos, in_failed_file) << line;
    failed += in_failed_file;
  }
  EXPECT_EQ(failed, 11u);  // the traps among them: clmm and dlmm under jupiter, pump AMM before Vordr
}

// Raydium CLMM's legacy IDL finds and decodes the same calls as its current one.
TEST(RealCalls, LegacyIdlReadsTheSameCalls) {
  SKIP_WITHOUT_REAL_DATA();
  Programs current, legacy("raydium-clmm-legacy.json");
  auto clmm = [](const Walked& w) {
    std::vector<std::string> out;
    for (const auto& line : w.calls) {
      if (line.find(" raydium-clmm ") != std::string::npos) out.push_back(line);
    }
    return out;
  };
  const auto want = clmm(walk_all(current));
  EXPECT_EQ(want.size(), 5u);
  EXPECT_EQ(clmm(walk_all(legacy)), want);
}

}  // namespace
}  // namespace brisquel::tx
