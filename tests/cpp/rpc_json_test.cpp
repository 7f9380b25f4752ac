// The RPC JSON reader against a plain second reading of the same text with
// simdjson's DOM, on the real mainnet transactions and on variations built
// from them (other encodings, wrappers, blocks, framings), plus bad inputs.
#include <gtest/gtest.h>

#include <simdjson.h>
#include <simdutf.h>

#include <filesystem>
#include <format>
#include <fstream>
#include <random>
#include <sstream>

#include "codec/base58.hpp"
#include "codec/base64.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/wire.hpp"
#include "real_data.hpp"
#include "rpc_test_support.hpp"

namespace brisquel::tx {
namespace {

namespace dom = simdjson::dom;
using testing::base58_reference;

using testing::kTransactions;
using testing::real_transactions;
using testing::slurp;

// The real transactions live beside the repository; without them these tests skip.
#define SKIP_WITHOUT_REAL_TRANSACTIONS()                                               \
  if (!std::filesystem::is_directory(kTransactions)) GTEST_SKIP() << "no " << kTransactions

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += std::format("{:02x}", b);
  return out;
}

// Instruction data as bytes, whichever form it came in.
std::string data_hex(const InstructionData& d) {
  if (d.raw) return hex(d.bytes);
  const auto bytes = testing::unbase58_reference(d.text);
  return bytes ? hex(*bytes) : "!" + std::string(d.text);
}

std::string describe_accounts(const TxView& v, AccountSpan span) {
  std::string s;
  for (const AccountRef& a : v.accounts_of(span)) {
    s += a.address.empty() ? std::format(" !{}", a.index) : " " + std::string(a.address);
  }
  return s;
}

// What a reader adds for calls.
std::string describe_calls(const TxView& v) {
  std::string s = "keys";
  for (auto k : v.account_keys) s += " " + std::string(k);
  s += "\n";
  for (std::size_t i = 0; i < v.outer.size(); ++i) {
    s += std::format("outer-ix {}{} data {}\n", i, describe_accounts(v, v.outer[i].accounts), data_hex(v.outer[i].data));
  }
  for (const auto& g : v.inner) {
    for (const auto& ix : g.instructions) s += std::format("inner-ix {}{}\n", g.index, describe_accounts(v, ix.accounts));
  }
  auto number = [](auto n) { return n ? std::to_string(*n) : "-"; };
  if (v.failed) s += std::format("err {} {} {}\n", number(v.error.instruction), number(v.error.custom), v.error.name);
  return s;
}

// One line per field, so that a mismatch shows where.
std::string describe(const TxView& v) {
  auto number = [](auto n) { return n ? std::to_string(*n) : "-"; };
  std::string s = std::format("sig {}\nslot {}\ntime {}\nfailed {}\nhas_logs {}\nversion {}\n", v.signature,
                              number(v.slot), number(v.block_time), v.failed, v.has_logs, number(v.version));
  if (v.config != TxConfig{}) {
    s += std::format("config {} {} {} {}\n", number(v.config.priority_fee), number(v.config.compute_unit_limit),
                     number(v.config.loaded_accounts_data_size_limit), number(v.config.heap_size));
  }
  if (v.problem) s += std::format("problem {}\n", v.problem.text);
  for (auto l : v.logs) s += std::format("log {}\n", l);
  for (auto p : v.outer_programs) s += std::format("outer {}\n", p);
  for (const auto& g : v.inner) {
    for (const auto& ix : g.instructions) {
      s += std::format("inner {} {} {} {}\n", g.index, ix.program, ix.data,
                       ix.stack_height ? std::to_string(*ix.stack_height) : "-");
    }
  }
  return s;
}

struct Read {
  std::vector<std::string> views;
  ReadResult result;
};

Read read_text(RpcJsonReader& reader, std::string_view text, bool padded = false, bool calls = false) {
  Read out;
  auto visit = [&](const TxView& v, std::size_t index) {
    EXPECT_EQ(index, out.views.size());
    out.views.push_back(calls ? describe(v) + describe_calls(v) : describe(v));
  };
  if (padded) {
    std::string copy(text);
    copy.append(kJsonPadding, 'x');  // padding of any content
    out.result = reader.read_padded(std::string_view(copy).substr(0, text.size()), visit);
  } else {
    out.result = reader.read(text, visit);
  }
  return out;
}

std::string json(dom::element e) { return simdjson::minify(e); }

// ---- the second reading: simdjson DOM, one straightforward pass ----

std::string reference_view(dom::element tx) {
  TxView v;
  std::vector<std::string> owned;  // base58 made here, never moved: room reserved
  owned.reserve(1024);
  auto b58 = [&](auto bytes) -> std::string_view {
    return owned.emplace_back(base58_reference({bytes.begin(), bytes.end()}));
  };
  std::vector<std::string_view> keys;
  if (uint64_t slot; tx["slot"].get(slot) == simdjson::SUCCESS) v.slot = slot;
  if (int64_t time; tx["blockTime"].get(time) == simdjson::SUCCESS) v.block_time = time;
  const dom::element t = tx["transaction"], meta = tx["meta"];
  bool parsed_keys = false;
  WireTransaction wire;
  std::vector<std::uint8_t> bytes(kMaxWireBytes);
  if (std::string_view name; tx["version"].get(name) == simdjson::SUCCESS) {
    EXPECT_EQ(name, "legacy");
  } else if (uint64_t number; tx["version"].get(number) == simdjson::SUCCESS) {
    v.version = static_cast<std::uint8_t>(number);
  }
  if (t.is_array()) {
    const std::string_view text = t.at(0);
    bytes.resize(*codec::decode_base64_strict(text, bytes.data()));
    EXPECT_EQ(parse_wire_transaction(bytes, wire), std::nullopt);
    v.version = wire.version;
    v.signature = b58(wire.signature(0));
    for (std::size_t i = 0; i < wire.key_count; ++i) keys.push_back(b58(wire.key(i)));
  } else {
    v.signature = t["signatures"].at(0);
    for (dom::element k : t["message"]["accountKeys"].get_array()) {
      parsed_keys = k.is_object();
      keys.push_back(parsed_keys ? k["pubkey"] : k);
    }
  }
  dom::element loaded;
  if (!parsed_keys && !meta.is_null() && meta["loadedAddresses"].get(loaded) == simdjson::SUCCESS) {
    for (auto list : {"writable", "readonly"}) {
      for (dom::element k : loaded[list].get_array()) keys.push_back(k);
    }
  }
  auto program = [&](dom::element ix) -> std::string_view {
    if (std::string_view id; ix["programId"].get(id) == simdjson::SUCCESS) return id;
    return keys.at(uint64_t(ix["programIdIndex"]));
  };
  if (t.is_array()) {
    for (const auto& ix : wire.instructions) v.outer_programs.push_back(keys.at(ix.program_index));
  } else {
    for (dom::element ix : t["message"]["instructions"].get_array()) v.outer_programs.push_back(program(ix));
  }
  if (meta.is_null()) return describe(v);
  v.failed = !meta["err"].is_null();
  if (dom::array logs; meta["logMessages"].get(logs) == simdjson::SUCCESS) {
    v.has_logs = true;
    for (dom::element l : logs) v.logs.push_back(l);
  }
  for (dom::element g : meta["innerInstructions"].get_array()) {
    InnerGroup& group = v.inner.emplace_back();
    group.index = uint32_t(uint64_t(g["index"]));
    for (dom::element ix : g["instructions"].get_array()) {
      InnerInstruction& out = group.instructions.emplace_back(InnerInstruction{program(ix), {}, {}, {}});
      if (std::string_view data; ix["data"].get(data) == simdjson::SUCCESS) out.data = data;
      if (uint64_t h; ix["stackHeight"].get(h) == simdjson::SUCCESS) out.stack_height = uint32_t(h);
    }
  }
  return describe(v);
}

// The calls part of the same second reading: keys, each instruction's
// accounts and data, and meta.err.
std::string reference_calls(dom::element tx) {
  const dom::element t = tx["transaction"], meta = tx["meta"];
  std::vector<std::string> keys;
  bool parsed_keys = false;
  WireTransaction wire;
  std::vector<std::uint8_t> bytes(kMaxWireBytes);
  if (t.is_array()) {
    bytes.resize(*codec::decode_base64_strict(std::string_view(t.at(0)), bytes.data()));
    EXPECT_EQ(parse_wire_transaction(bytes, wire), std::nullopt);
    for (std::size_t i = 0; i < wire.key_count; ++i) {
      const auto key = wire.key(i);
      keys.push_back(base58_reference({key.begin(), key.end()}));
    }
  } else {
    for (dom::element k : t["message"]["accountKeys"].get_array()) {
      parsed_keys = k.is_object();
      keys.emplace_back(std::string_view(parsed_keys ? k["pubkey"] : k));
    }
  }
  dom::element loaded;
  if (!parsed_keys && !meta.is_null() && meta["loadedAddresses"].get(loaded) == simdjson::SUCCESS) {
    for (auto list : {"writable", "readonly"}) {
      for (dom::element k : loaded[list].get_array()) keys.emplace_back(std::string_view(k));
    }
  }
  auto account = [&](dom::element a) -> std::string {
    if (a.is_string()) return std::string(std::string_view(a));
    const uint64_t i = a;
    return i < keys.size() ? keys[i] : std::format("!{}", i);
  };
  auto json_accounts = [&](dom::element ix) {
    std::string s;
    if (dom::array list; ix["accounts"].get(list) == simdjson::SUCCESS) {
      for (dom::element a : list) s += " " + account(a);
    }
    return s;
  };
  auto json_data = [&](dom::element ix) {
    std::string_view text;
    if (ix["data"].get(text) != simdjson::SUCCESS) return std::string();
    return hex(*testing::unbase58_reference(text));
  };
  std::string s = "keys";
  for (const auto& k : keys) s += " " + k;
  s += "\n";
  if (t.is_array()) {
    for (std::size_t i = 0; i < wire.instructions.size(); ++i) {
      std::string accounts;
      for (std::uint8_t a : wire.instructions[i].accounts) accounts += " " + (a < keys.size() ? keys[a] : std::format("!{}", a));
      s += std::format("outer-ix {}{} data {}\n", i, accounts, hex(wire.instructions[i].data));
    }
  } else {
    std::size_t i = 0;
    for (dom::element ix : t["message"]["instructions"].get_array()) {
      s += std::format("outer-ix {}{} data {}\n", i++, json_accounts(ix), json_data(ix));
    }
  }
  if (meta.is_null()) return s;
  for (dom::element g : meta["innerInstructions"].get_array()) {
    for (dom::element ix : g["instructions"].get_array()) {
      s += std::format("inner-ix {}{}\n", uint64_t(g["index"]), json_accounts(ix));
    }
  }
  const dom::element err = meta["err"];
  if (err.is_null()) return s;
  std::string index = "-", custom = "-", name;
  if (err.is_string()) {
    name = std::string_view(err);
  } else if (dom::array detail; err["InstructionError"].get(detail) == simdjson::SUCCESS) {
    index = std::to_string(uint64_t(detail.at(0)));
    const dom::element what = detail.at(1);
    if (what.is_string()) {
      name = std::string_view(what);
    } else {
      for (auto [key, value] : what.get_object()) {
        name = key;
        if (key == "Custom") custom = std::to_string(uint64_t(value));
        break;
      }
    }
  } else {
    for (auto [key, value] : err.get_object()) {
      name = key;
      break;
    }
  }
  return s + std::format("err {} {} {}\n", index, custom, name);
}

TEST(RpcJson, RealFilesMatchASecondReading) {
  SKIP_WITHOUT_REAL_TRANSACTIONS();
  dom::parser parser;
  for (const bool calls : {false, true}) {
    RpcJsonReader reader({}, calls ? ReadScope::kCalls : ReadScope::kEvents);
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kTransactions)) {
      if (entry.path().extension() != ".json" || entry.path().filename().string().starts_with("simowment")) continue;
      ++files;
      const Read got = read_text(reader, slurp(entry.path()), files % 2 == 0, calls);
      ASSERT_TRUE(got.result.ok()) << entry.path() << ": " << describe_at(*got.result.error);
      std::vector<std::string> want;
      for (const auto& tx : real_transactions()) {
        if (tx.name != entry.path().filename()) continue;
        const dom::element e = parser.parse(tx.text);
        want.push_back(calls ? reference_view(e) + reference_calls(e) : reference_view(e));
      }
      EXPECT_EQ(got.views, want) << entry.path();
    }
    EXPECT_EQ(files, 55u);
  }
  RpcJsonReader reader;
  // The one truncated transaction shows it in its logs.
  const Read cut = read_text(reader, slurp(kTransactions / "txparser_transferChecked_0.json"));
  EXPECT_NE(cut.views.at(0).find("\nlog Log truncated\n"), std::string::npos);
}

// The same transaction as base64 and as jsonParsed: equal, except that parsed
// instructions carry no data.
TEST(RpcJson, OneTransactionInTwoEncodings) {
  SKIP_WITHOUT_REAL_TRANSACTIONS();
  RpcJsonReader reader;
  std::vector<std::string> views;
  for (const auto& tx : real_transactions()) {
    if (tx.name.starts_with("simowment")) views.push_back(read_text(reader, tx.text).views.at(0));
  }
  ASSERT_EQ(views.size(), 2u);
  std::istringstream base64(views[0]), parsed(views[1]);
  std::size_t lines = 0;
  for (std::string a, b; std::getline(base64, a) && std::getline(parsed, b); ++lines) {
    // "inner <group> <program> <data> <height>": parsed ones have no data.
    if (b.starts_with("inner ") && b.find("  ") != std::string::npos) {
      const std::size_t data = a.find(' ', a.find(' ', 6) + 1) + 1;
      a.erase(data, a.rfind(' ') - data);
    }
    EXPECT_EQ(a, b);
  }
  EXPECT_GT(lines, 100u);
}

// ---- variations built from the real json-encoded transactions ----

std::vector<std::uint8_t> unbase58(std::string_view text) { return *testing::unbase58_reference(text); }

// The wire format of a json-encoded transaction, written from its JSON.
std::vector<std::uint8_t> to_wire(dom::element transaction) {
  testing::WireWriter w;
  dom::array signatures = transaction["signatures"];
  w.compact(signatures.size());
  for (std::string_view s : signatures) w.bytes(unbase58(s));
  dom::element message = transaction["message"];
  dom::array lookups;
  const bool v0 = message["addressTableLookups"].get(lookups) == simdjson::SUCCESS;
  if (v0) w.out.push_back(0x80);
  dom::element header = message["header"];
  for (auto field : {"numRequiredSignatures", "numReadonlySignedAccounts", "numReadonlyUnsignedAccounts"}) {
    w.out.push_back(static_cast<std::uint8_t>(uint64_t(header[field])));
  }
  dom::array keys = message["accountKeys"];
  w.compact(keys.size());
  for (std::string_view k : keys) w.bytes(unbase58(k));
  w.bytes(unbase58(message["recentBlockhash"]));
  dom::array instructions = message["instructions"];
  w.compact(instructions.size());
  for (dom::element ix : instructions) {
    w.out.push_back(static_cast<std::uint8_t>(uint64_t(ix["programIdIndex"])));
    std::vector<std::uint8_t> accounts;
    for (uint64_t a : ix["accounts"].get_array()) accounts.push_back(static_cast<std::uint8_t>(a));
    w.counted(accounts);
    w.counted(unbase58(ix["data"]));
  }
  if (v0) {
    w.compact(lookups.size());
    for (dom::element l : lookups) {
      w.bytes(unbase58(l["accountKey"]));
      for (auto list : {"writableIndexes", "readonlyIndexes"}) {
        std::vector<std::uint8_t> indexes;
        for (uint64_t i : l[list].get_array()) indexes.push_back(static_cast<std::uint8_t>(i));
        w.counted(indexes);
      }
    }
  }
  return w.out;
}

// The same message as a version 1 transaction, for one without lookup tables
// (nullopt otherwise, or past version 1's limits).
std::optional<std::vector<std::uint8_t>> to_v1_wire(dom::element transaction) {
  dom::element message = transaction["message"];
  if (dom::array lookups; message["addressTableLookups"].get(lookups) == simdjson::SUCCESS && lookups.size() > 0) {
    return std::nullopt;
  }
  testing::V1Transaction t;
  dom::element header = message["header"];
  t.required = static_cast<std::uint8_t>(uint64_t(header["numRequiredSignatures"]));
  t.readonly_signed = static_cast<std::uint8_t>(uint64_t(header["numReadonlySignedAccounts"]));
  t.readonly_unsigned = static_cast<std::uint8_t>(uint64_t(header["numReadonlyUnsignedAccounts"]));
  for (std::string_view k : message["accountKeys"].get_array()) t.keys.push_back(unbase58(k));
  t.blockhash = unbase58(message["recentBlockhash"]);
  for (dom::element ix : message["instructions"].get_array()) {
    auto& out = t.instructions.emplace_back();
    out.program = static_cast<std::uint8_t>(uint64_t(ix["programIdIndex"]));
    for (uint64_t a : ix["accounts"].get_array()) out.accounts.push_back(static_cast<std::uint8_t>(a));
    out.data = unbase58(ix["data"]);
  }
  for (std::string_view s : transaction["signatures"].get_array()) t.signatures.push_back(unbase58(s));
  if (t.keys.size() > kMaxV1Keys || t.instructions.size() > kMaxV1Instructions) return std::nullopt;
  return t.write();
}

std::string base64(const std::vector<std::uint8_t>& bytes) {
  std::string out(simdutf::base64_length_from_binary(bytes.size()), '\0');
  out.resize(simdutf::binary_to_base64(reinterpret_cast<const char*>(bytes.data()), bytes.size(), out.data()));
  return out;
}

void variations_read_as_the_original(RpcJsonReader& reader, bool calls) {
  dom::parser parser;
  std::string block = R"({"blockhash":"x","parentSlot":1,"transactions":[)";
  std::vector<std::string> block_views;
  std::size_t wire_forms = 0, v1_forms = 0;
  for (const auto& tx : real_transactions()) {
    dom::element e = parser.parse(tx.text);
    dom::element transaction = e["transaction"];
    const std::string original = read_text(reader, tx.text, false, calls).views.at(0);
    const std::string meta = json(e["meta"]);
    auto expect_same = [&](const std::string& text, const std::string& want, const char* what) {
      const Read got = read_text(reader, text, false, calls);
      ASSERT_TRUE(got.result.ok()) << what << " of " << tx.name << ": " << describe_at(*got.result.error);
      ASSERT_EQ(got.views.size(), 1u);
      EXPECT_EQ(got.views[0], want) << what << " of " << tx.name;
    };
    expect_same(std::format(R"({{"jsonrpc":"2.0","result":{},"id":7}})", tx.text), original, "response");
    // Fields in another order, and the same again as a failed transaction.
    std::string times = R"("x":0)";
    for (const char* key : {"slot", "blockTime", "version"}) {
      if (dom::element v; e[key].get(v) == simdjson::SUCCESS) times += std::format(R"(,"{}":{})", key, json(v));
    }
    std::string version;
    if (dom::element v; e["version"].get(v) == simdjson::SUCCESS) version = std::format(R"(,"version":{})", json(v));
    const std::string tail = std::format(R"("transaction":{},{}}})", json(transaction), times);
    expect_same(R"({"meta":)" + meta + "," + tail, original, "reordered");
    if (const std::size_t err = meta.find(R"("err":null)"); err != std::string::npos) {
      std::string failed_meta = meta;
      failed_meta.replace(err, 10, R"("err":{"InstructionError":[0,{"Custom":1}]})");
      std::string failed = original;
      failed.replace(failed.find("failed false"), 12, "failed true");
      if (calls) failed += "err 0 1 Custom\n";
      expect_same(R"({"meta":)" + failed_meta + "," + tail, failed, "failed");
    }

    block += std::format(R"({}{{"transaction":{},"meta":{}{}}})", block_views.empty() ? "" : ",", json(transaction),
                         meta, version);
    std::string in_block = original;
    const std::size_t slot_at = in_block.find("slot ");
    in_block.replace(slot_at, in_block.find("\nfailed") - slot_at, "slot -\ntime 1700000000");
    block_views.push_back(in_block);

    // The wire format written from the JSON, as base64 and base58, before the meta.
    if (!transaction.is_object() || !transaction["message"]["accountKeys"].at(0).is_string()) continue;
    ++wire_forms;
    const auto wire = to_wire(transaction);
    for (const std::string& encoded :
         {std::format(R"(["{}","base64"])", base64(wire)), std::format(R"(["{}","base58"])", base58_reference(wire))}) {
      expect_same(std::format(R"({{{},"transaction":{},"meta":{}}})", times, encoded, meta), original,
                  "wire format");
    }
    // And as version 1, where it fits: the same but for the version.
    if (const auto v1 = to_v1_wire(transaction)) {
      ++v1_forms;
      std::string want = original;
      const std::size_t at = want.find("\nversion ") + 9;
      want.replace(at, want.find('\n', at) - at, "1");
      expect_same(std::format(R"({{{},"transaction":["{}","base64"],"meta":{}}})", times, base64(*v1), meta), want,
                  "version 1");
    }
  }
  EXPECT_EQ(wire_forms, 33u);
  EXPECT_EQ(v1_forms, 17u);
  // A block in the nodes' field order: blockTime after the transactions.
  block += R"(],"rewards":[],"blockTime":1700000000,"blockHeight":5})";
  const Read got = read_text(reader, block, true, calls);
  ASSERT_TRUE(got.result.ok()) << describe_at(*got.result.error);
  EXPECT_EQ(got.views, block_views);
}

// Read for events and for calls: a block of base64 transactions keeps each
// one's instruction data apart.
TEST(RpcJson, VariationsReadAsTheOriginal) {
  SKIP_WITHOUT_REAL_TRANSACTIONS();
  for (const bool calls : {false, true}) {
    RpcJsonReader reader({}, calls ? ReadScope::kCalls : ReadScope::kEvents);
    variations_read_as_the_original(reader, calls);
  }
}

// JSON lines, arrays, responses and single values give the same sequence.
TEST(RpcJson, FramingsGiveTheSameSequence) {
  SKIP_WITHOUT_REAL_TRANSACTIONS();
  RpcJsonReader reader;
  std::vector<std::string> want;
  std::string lines, crlf, array = "[\n", responses = "[";
  for (const auto& tx : real_transactions()) {
    want.push_back(read_text(reader, tx.text).views.at(0));
    lines += tx.text + "\n";
    crlf += "\r\n  " + tx.text + " \r\n";
    array += (want.size() > 1 ? ",\n" : "") + tx.text;
    responses += std::format(R"({}{{"jsonrpc":"2.0","id":1,"result":{}}},{{"jsonrpc":"2.0","id":2,"result":null}})",
                             want.size() > 1 ? "," : "", tx.text);
  }
  array += "\n]\n";
  responses += "]";
  for (const std::string* text : {&lines, &crlf, &array, &responses}) {
    for (bool padded : {false, true}) {
      const Read got = read_text(reader, *text, padded);
      ASSERT_TRUE(got.result.ok()) << describe_at(*got.result.error);
      EXPECT_EQ(got.views, want) << text->substr(0, 20);
      EXPECT_EQ(got.result.visited, want.size());
    }
  }
  // The visitor may stop.
  std::size_t calls = 0;
  const ReadResult stopped = reader.read(lines, [&](const TxView&, std::size_t index) { return ++calls, index < 4; });
  EXPECT_TRUE(stopped.stopped && stopped.ok());
  EXPECT_EQ(stopped.visited, 5u);
  EXPECT_EQ(calls, 5u);
}

// ---- bad inputs ----

constexpr std::string_view kGood =
    R"({"slot":1,"blockTime":2,"meta":{"err":null,"logMessages":["a"],"innerInstructions":[{"index":0,)"
    R"("instructions":[{"programIdIndex":0,"data":"x","stackHeight":2}]}]},"transaction":{"signatures":["s"],)"
    R"("message":{"accountKeys":["k0","k1"],"instructions":[{"programIdIndex":1,"data":""}]}}})";

std::string good_with(std::string_view from, std::string_view to) {
  std::string s(kGood);
  s.replace(s.find(from), from.size(), to);
  return s;
}

TEST(RpcJson, BadInputsGiveTheirErrors) {
  const std::string good(kGood);
  const std::string pretty = "{\n  \"jsonrpc\": \"2.0\",\n  \"result\": " + good + "\n}\n";
  // The error is expected where `at` first occurs on the line, or at `column`,
  // or else at the line's start.
  struct Row {
    std::string name, text;
    Error::Kind kind;
    std::size_t line, visited;
    std::string_view at = "", message = "";
    std::size_t column = 0;
  };
  using enum Error::Kind;
  const std::vector<Row> rows = {
      {"empty", "", InvalidJson, 1, 0},
      {"blank", " \n\r\n ", InvalidJson, 1, 0},
      {"cut last line", good + "\n" + good + "\n" + good.substr(0, 77), Truncated, 3, 2},
      {"cut inside a string", good + "\n  " + good.substr(0, 12), Truncated, 2, 1, "{"},
      {"cut line inside", good + "\n" + good.substr(0, 50) + "\n" + good, InvalidJson, 2, 1, "", "line ends inside"},
      {"cut single value", pretty.substr(0, pretty.size() - 30), Truncated, 1, 0},
      {"not JSON", good + "\nhello\n" + good, InvalidJson, 2, 1},
      {"two values on a line", good + " " + good, InvalidJson, 1, 1, "", "more JSON", good.size() + 2},
      {"value after a value", pretty + pretty, InvalidJson, 5, 1, "", "more JSON"},
      {"slot as text", good + "\n" + good_with("\"slot\":1", "\"slot\":\"1\""), Shape, 2, 1, "\"1\"", "`slot`"},
      {"fraction", good_with("\"blockTime\":2", "\"blockTime\":-2.5"), Shape, 1, 0, "-2.5"},
      {"logs not a list", good_with(R"(["a"])", "5"), Shape, 1, 0, "5,", "logMessages"},
      {"stack height text", good_with("\"stackHeight\":2", "\"stackHeight\":\"2\""), Shape, 1, 0, "\"2\""},
      {"stack height null", good_with("\"stackHeight\":2", "\"stackHeight\":null"), Shape, 0, 1},
      {"index below 0", good_with("\"programIdIndex\":1", "\"programIdIndex\":-1"), Shape, 1, 0, "-1"},
      // A transaction that cannot be read is handed over with its problem (below).
      {"index too big", good_with("\"programIdIndex\":1", "\"programIdIndex\":2"), Shape, 0, 1},
      {"no program", good_with("\"programIdIndex\":1,", ""), Shape, 1, 0},
      {"lone surrogate", good_with(R"(["a"])", R"(["\ud800"])"), InvalidJson, 1, 0, "\"\\u"},
      {"not UTF-8", good_with(R"(["a"])", "[\"\xff\"]"), InvalidJson, 1, 0},
      {"RPC error", R"({"jsonrpc":"2.0","error":{"code":-32009,"message":"Slot 5 was skipped"},"id":1})", RpcError,
       1, 0, "{\"code", "RPC error -32009: Slot 5 was skipped"},
      {"not found", R"({"jsonrpc":"2.0","result":null,"id":1})", Shape, 0, 0},
      {"scalar", "\"x\"\n42", Shape, 1, 0, "", "lone scalar"},
      {"other object", R"({"a":1})", Shape, 1, 0, "", "not a transaction"},
      {"meta alone", R"({"meta":null})", Shape, 1, 0},
      {"block entry", R"({"blockhash":"h","transactions":[5]})", Shape, 1, 0, "5"},
      {"deep", std::string(100000, '[') + std::string(100000, ']'), Shape, 1, 0, "", "", 2},
      {"deep and skipped", good_with("\"err\":null", "\"err\":null,\"x\":" + std::string(5000, '[') +
                                                             std::string(5000, ']')), Shape, 0, 1},
      {"bad base64", R"({"meta":null,"transaction":["!!!!","base64"]})", Shape, 0, 1},
      {"cut wire", R"({"meta":null,"transaction":["AQ==","base64"]})", Shape, 0, 1},
      {"other encoding", R"({"meta":null,"transaction":["AQ==","base32"]})", Shape, 1, 0, "", "base32"},
  };
  RpcJsonReader reader;
  for (const Row& row : rows) {
    const Read got = read_text(reader, row.text, row.name.size() % 2 == 0);
    EXPECT_EQ(got.result.visited, row.visited) << row.name;
    if (row.line == 0) {  // accepted
      EXPECT_TRUE(got.result.ok()) << row.name << ": " << describe_at(*got.result.error);
      continue;
    }
    ASSERT_FALSE(got.result.ok()) << row.name;
    const Error& error = *got.result.error;
    std::size_t line_start = 0;
    for (std::size_t i = 1; i < row.line; ++i) line_start = row.text.find('\n', line_start) + 1;
    const std::string_view line = std::string_view(row.text).substr(line_start);
    const std::size_t column = row.column ? row.column : row.at.empty() ? 1 : line.find(row.at) + 1;
    EXPECT_EQ(error.kind, row.kind) << row.name << ": " << describe_at(error);
    EXPECT_EQ(error.line, row.line) << row.name << ": " << describe_at(error);
    EXPECT_EQ(error.column, column) << row.name << ": " << describe_at(error);
    EXPECT_EQ(error.offset, line_start + column - 1) << row.name;
    EXPECT_NE(error.text.find(row.message), std::string::npos) << row.name << ": " << describe_at(error);
  }
}

// Lines of transactions are handed over a few at a time once read: each
// transaction must reach the visitor as it reads alone, in order, the
// transactions before a bad line before its error, and none after a stop.
// Generated texts mix lines whose views last (plain transactions, responses,
// arrays) with those that must be handed over at once (escaped strings,
// blocks, a copied last line), log-line strings, a bad line and a stop.
TEST(RpcJson, LinesHandedOverLaterReadAsEachAlone) {
  auto tx = [](std::size_t n, bool escaped) {
    const std::string log = escaped ? std::format(R"(l\u0069ne {})", n) : std::format("line {}", n);
    return std::format(
        R"({{"slot":{0},"meta":{{"err":{1},"logMessages":["{2}","Program k{0} invoke [1]"],"innerInstructions":)"
        R"([{{"index":0,"instructions":[{{"programIdIndex":{3},"accounts":[1,0],"data":"d{0}","stackHeight":2}}]}}]}},)"
        R"("transaction":{{"signatures":["s{0}"],"message":{{"accountKeys":["k{0}","j{0}"],)"
        R"("instructions":[{{"programIdIndex":{4},"accounts":[0],"data":"e{0}"}}]}}}}}})",
        n, n % 3 == 0 ? R"({"InstructionError":[0,{"Custom":7}]})" : "null", log, n % 2, (n + 1) % 2);
  };
  std::mt19937 rng(7);
  RpcJsonReader reader({}, ReadScope::kCalls), alone({}, ReadScope::kCalls);
  reader.accept_log_lines();  // log-line strings too, each a transaction of its own
  alone.accept_log_lines();
  for (int round = 0; round < 300; ++round) {
    std::string text;
    std::vector<std::string> want;
    std::size_t number = 0, bad_line = 0;
    const std::size_t lines = 1 + rng() % 30;
    for (std::size_t line = 1; line <= lines && bad_line == 0; ++line) {
      std::string value;
      switch (rng() % 9) {
        case 8: value = std::format(R"(["solo {}",["a {}","b"]])", number, number + 1), number += 2; break;
        case 0: value = tx(number++, true); break;
        case 1: value = std::format(R"({{"blockhash":"h","transactions":[{},{}]}})", tx(number, false), tx(number + 1, false)), number += 2; break;
        case 2: value = std::format("[{},null,{}]", tx(number, false), tx(number + 1, rng() % 2 == 0)), number += 2; break;
        case 3: value = std::format(R"({{"jsonrpc":"2.0","result":{},"id":1}})", tx(number++, false)); break;
        case 4: {
          // Bad lines, each after a transaction it hands over first; the last
          // two go on reading fields once their result was read.
          const std::string_view bad[] = {"[@,7]", R"({"jsonrpc":"2.0","result":@,"meta":null})",
                                          R"({"result":@,"transactions":[@]})", R"({"result":@,"transaction":{}})"};
          if (rng() % 2 == 0) {
            value = " ";
            break;
          }
          for (const char c : bad[rng() % 4]) value += c == '@' ? tx(number, false) : std::string(1, c);
          bad_line = line, ++number;
          break;
        }
        default: value = tx(number++, false); break;
      }
      if (value != " ") {
        const Read one = read_text(alone, value, false, true);
        want.insert(want.end(), one.views.begin(), one.views.end());
      }
      text += value + "\n";
    }
    if (want.empty() && bad_line == 0) continue;  // blank lines only
    if (rng() % 2 == 0) text.pop_back();  // the last line unended
    const bool padded = rng() % 2 == 0;
    const Read got = read_text(reader, text, padded, true);
    ASSERT_EQ(got.views, want) << text;
    EXPECT_EQ(got.result.visited, want.size());
    ASSERT_EQ(got.result.ok(), bad_line == 0) << (got.result.ok() ? "" : describe_at(*got.result.error)) << text;
    if (bad_line != 0) {
      EXPECT_EQ(got.result.error->line, bad_line);
    }

    // Stopped at `stop`: that many and one handed over, and no error when the
    // stop came before the bad line.
    if (want.empty()) continue;
    const std::size_t stop = rng() % want.size();
    std::vector<std::string> seen;
    const ReadResult stopped = reader.read(text, [&](const TxView& v, std::size_t index) {
      EXPECT_EQ(index, seen.size());
      seen.push_back(describe(v) + describe_calls(v));
      return index < stop;
    });
    EXPECT_TRUE(stopped.stopped && stopped.ok()) << text;
    EXPECT_EQ(stopped.visited, stop + 1);
    EXPECT_EQ(seen, std::vector<std::string>(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(stop) + 1));
  }
}

// Readers hand their parsers on to later ones: a parser that a reader with a
// larger limit sized for a large value must not lift a later reader's limit,
// and the values it reads next read as with a parser of their own.
TEST(RpcJson, ParsersHandedOnKeepEachReadersLimits) {
  const std::string large = good_with("\"err\":null", "\"err\":null,\"x\":\"" + std::string(50000, 'a') + "\"");
  const std::string lines = large + "\n" + std::string(kGood) + "\n" + large;
  for (int round = 0; round < 3; ++round) {
    {
      RpcJsonReader generous;
      const Read got = read_text(generous, lines);
      ASSERT_TRUE(got.result.ok()) << describe_at(*got.result.error);
      EXPECT_EQ(got.result.visited, 3u);
    }
    RpcJsonLimits limits;
    limits.max_value_bytes = 20000;
    RpcJsonReader strict(limits);
    const Read got = read_text(strict, std::string(kGood) + "\n" + large, round == 1);
    ASSERT_FALSE(got.result.ok());
    EXPECT_EQ(got.result.error->kind, Error::Kind::TooLarge) << describe_at(*got.result.error);
    EXPECT_EQ(got.result.error->line, 2u);
    EXPECT_EQ(got.result.visited, 1u);
  }
}

// What calls need, from hand-written transactions: an account index past the
// keys is kept for the call to report, meta.err shapes nobody listed are
// read as far as they go, and fields of the wrong type are errors.
TEST(RpcJson, CallFieldsOfOddTransactions) {
  struct Row {
    std::string name, from, to;
    std::string want;  // the calls part of the view, or the start of the error message
    bool accepted = true;
  };
  const std::string keys = "keys k0 k1\n";
  const std::vector<Row> rows = {
      {"plain", "", "", keys + "outer-ix 0 data \ninner-ix 0\n"},
      {"accounts and data", R"("programIdIndex":1,"data":"")", R"("programIdIndex":1,"accounts":[1,0,1],"data":"2g")",
       keys + "outer-ix 0 k1 k0 k1 data 61\ninner-ix 0\n"},
      {"an index past the keys", R"("programIdIndex":1,"data":"")", R"("programIdIndex":1,"accounts":[0,7],"data":null)",
       keys + "outer-ix 0 k0 !7 data \ninner-ix 0\n"},
      {"inner accounts, addresses", R"("stackHeight":2)", R"("stackHeight":2,"accounts":["A","k9"])",
       keys + "outer-ix 0 data \ninner-ix 0 A k9\n"},
      {"loaded addresses", R"("err":null)", R"("err":null,"loadedAddresses":{"writable":["w"],"readonly":["r"]})",
       "keys k0 k1 w r\nouter-ix 0 data \ninner-ix 0\n"},
      {"custom", R"("err":null)", R"("err":{"InstructionError":[2,{"Custom":6001}]})",
       keys + "outer-ix 0 data \ninner-ix 0\nerr 2 6001 Custom\n"},
      {"named", R"("err":null)", R"("err":{"InstructionError":[3,"ProgramFailedToComplete"]})",
       keys + "outer-ix 0 data \ninner-ix 0\nerr 3 - ProgramFailedToComplete\n"},
      {"with a payload", R"("err":null)", R"("err":{"InstructionError":[0,{"BorshIoError":"Unknown"}],"x":1})",
       keys + "outer-ix 0 data \ninner-ix 0\nerr 0 - BorshIoError\n"},
      {"transaction level", R"("err":null)", R"("err":"InsufficientFundsForFee")",
       keys + "outer-ix 0 data \ninner-ix 0\nerr - - InsufficientFundsForFee\n"},
      {"transaction level object", R"("err":null)", R"("err":{"InsufficientFundsForRent":{"account_index":2}})",
       keys + "outer-ix 0 data \ninner-ix 0\nerr - - InsufficientFundsForRent\n"},
      {"odd shapes", R"("err":null)", R"("err":{"InstructionError":[-1,{"Custom":-5},7]})",
       keys + "outer-ix 0 data \ninner-ix 0\nerr - - Custom\n"},
      {"not an object", R"("err":null)", R"("err":[1,2])", keys + "outer-ix 0 data \ninner-ix 0\nerr - - \n"},
      // jsonParsed: keys as objects, named by their first "pubkey" wherever it
      // stands; its accounts are names, though an index still reads as one.
      {"keys as objects", R"(["k0","k1"])",
       R"([{"signer":true,"pubkey":"k0","source":{"pubkey":[1,{"pubkey":"no"}]},"writable":1},{"pubkey":"k1","pubkey":"k2"}])",
       keys + "outer-ix 0 data \ninner-ix 0\n"},
      {"names and indexes", R"(["k0","k1"],"instructions":[{"programIdIndex":1,"data":""})",
       R"([{"pubkey":"k0"},{"pubkey":"k1"}],"instructions":[{"programIdIndex":1,"accounts":[1,"A",0],"data":""})",
       keys + "outer-ix 0 k1 A k0 data \ninner-ix 0\n"},
      {"accounts as text", R"("programIdIndex":1,"data":"")", R"("programIdIndex":1,"accounts":"01")",
       "`instructions[].accounts`: expected an array", false},
      {"a negative index", R"("stackHeight":2)", R"("stackHeight":2,"accounts":[-1])",
       "`innerInstructions[].accounts`: expected an account index", false},
      {"data as a number", R"("programIdIndex":1,"data":"")", R"("programIdIndex":1,"data":5)",
       "`instructions[].data`: expected a string", false},
  };
  RpcJsonReader reader({}, ReadScope::kCalls);
  for (const Row& row : rows) {
    const std::string text = row.from.empty() ? std::string(kGood) : good_with(row.from, row.to);
    std::string got;
    const ReadResult result = reader.read(text, [&](const TxView& v, std::size_t) { got = describe_calls(v); });
    if (!row.accepted) {
      ASSERT_FALSE(result.ok()) << row.name;
      EXPECT_EQ(result.error->kind, Error::Kind::Shape) << row.name;
      EXPECT_TRUE(result.error->text.starts_with(row.want)) << row.name << ": " << result.error->text;
      continue;
    }
    ASSERT_TRUE(result.ok()) << row.name << ": " << describe_at(*result.error);
    EXPECT_EQ(got, row.want) << row.name;
  }
  // Read for events only, none of it is looked at.
  RpcJsonReader events;
  std::string got;
  const ReadResult result = events.read(good_with(R"("programIdIndex":1,"data":"")", R"("programIdIndex":1,"accounts":"x")"),
                                        [&](const TxView& v, std::size_t) { got = describe_calls(v); });
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(got, "keys\ninner-ix 0\n");
}

// A transaction that cannot be read (an undefined version, wire bytes that
// break the format, a program index past its keys) is handed over with its
// problem, naming its version; the transactions around it read as ever.
// Version 1 reads in both forms, its config with it.
TEST(RpcJson, TransactionsThatCannotBeReadKeepTheirPlace) {
  testing::V1Transaction v1;
  v1.mask = 0x1F;
  v1.priority_fee = 5000;
  v1.values[0] = 200000;
  v1.values[1] = 65536;
  v1.values[2] = 32768;
  v1.keys = {std::vector<std::uint8_t>(32, 1), std::vector<std::uint8_t>(32, 2)};
  v1.instructions = {{1, {0, 1}, {9, 9, 9}}};
  v1.signatures = {std::vector<std::uint8_t>(64, 3)};
  const auto bytes = v1.write();
  const std::string key1 = base58_reference(v1.keys[1]);
  auto wire = [](std::string_view text, std::string_view encoding) {
    return std::format(R"({{"meta":null,"version":1,"transaction":["{}","{}"]}})", text, encoding);
  };
  auto cut = bytes;
  cut.pop_back();
  auto unknown = bytes;
  unknown[0] = 0x82;
  const std::string json_tx = R"("transaction":{"signatures":["s"],"message":{"accountKeys":["k0","k1"],)"
                              R"("instructions":[{"programIdIndex":1,"data":""}]}})";
  const std::string config = R"("transactionConfig":{"priorityFee":5000,"computeUnitLimit":null,"heapSize":32768}},)";
  std::string with_config = json_tx;
  with_config.insert(with_config.find("\"instructions\""), config.substr(0, config.size() - 2) + ",");
  const std::vector<std::pair<std::string, std::string>> rows = {
      {std::string(kGood), ""},
      {wire(testing::base64_reference(bytes), "base64"), ""},
      {wire(base58_reference(bytes), "base58"), ""},
      {wire(testing::base64_reference(cut), "base64"),
       "version 1 transaction: transaction bytes end inside the signatures (offset 135)"},
      {wire(testing::base64_reference(unknown), "base64"), "transaction version 2 is not supported"},
      {wire(testing::base64_reference({1, 2}), "base64"),
       "legacy or version 0 transaction: transaction bytes end inside the signatures (offset 1)"},
      {wire("!!", "base64"), "transaction text is not canonical base64"},
      {R"({"version":2,"meta":null,)" + json_tx + "}", "transaction version 2 is not supported"},
      {R"({"version":"v9","meta":null,)" + json_tx + "}", "transaction version \"v9\" is not supported"},
      {R"({"version":1,"meta":null,)" + with_config + "}", ""},
      {good_with("\"programIdIndex\":1", "\"programIdIndex\":2"),
       "legacy transaction: program index 2 is beyond the transaction's 2 account keys"},
  };
  std::string text, block = R"({"blockhash":"h","transactions":[)";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    text += rows[i].first + "\n";
    block += (i ? "," : "") + rows[i].first;
  }
  block += "]}";
  RpcJsonReader reader({}, ReadScope::kCalls);
  for (const std::string& input : {text, block}) {
    std::vector<const TxView*> seen;
    std::vector<std::string> views;
    const ReadResult result = reader.read(input, [&](const TxView& v, std::size_t) {
      views.push_back(describe(v) + (!v.problem ? describe_calls(v) : ""));
    });
    ASSERT_TRUE(result.ok()) << describe_at(*result.error);
    ASSERT_EQ(views.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::string& view = views[i];
      if (rows[i].second.empty()) {
        EXPECT_EQ(view.find("problem"), std::string::npos) << i << view;
      } else {
        EXPECT_NE(view.find("problem " + rows[i].second + "\n"), std::string::npos) << i << view;
      }
    }
    for (std::size_t i : {1, 2}) {
      EXPECT_NE(views[i].find("version 1\nconfig 5000 200000 65536 32768\n"), std::string::npos) << views[i];
      EXPECT_NE(views[i].find("outer " + key1 + "\n"), std::string::npos) << views[i];
      EXPECT_NE(views[i].find("outer-ix 0 " + base58_reference(v1.keys[0]) + " " + key1 + " data 090909\n"),
                std::string::npos)
          << views[i];
    }
    EXPECT_NE(views[9].find("version 1\nconfig 5000 - - 32768\n"), std::string::npos) << views[9];
    EXPECT_NE(views[0].find("version -\n"), std::string::npos);
  }
}

// Cut anywhere, a JSON-lines text gives its complete lines, then says where it
// was cut; bytes changed at random give some result, never a crash.
TEST(RpcJson, CutAndDamagedTexts) {
  SKIP_WITHOUT_REAL_TRANSACTIONS();
  std::string text;
  std::vector<std::size_t> line_ends;
  for (const auto& tx : real_transactions()) {
    text += tx.text + "\n";
    line_ends.push_back(text.size());
  }
  RpcJsonReader reader;
  std::mt19937 rng(2024);
  for (int i = 0; i < 300; ++i) {
    const std::size_t cut = rng() % text.size();
    const auto complete = static_cast<std::size_t>(std::ranges::upper_bound(line_ends, cut) - line_ends.begin());
    const Read got = read_text(reader, std::string_view(text).substr(0, cut), i % 2 == 0);
    EXPECT_EQ(got.result.visited, complete) << cut;
    const bool at_line_start = cut == 0 || text[cut - 1] == '\n';
    if (at_line_start && cut != 0) {
      EXPECT_TRUE(got.result.ok()) << cut;
    } else if (cut != 0 && text[cut - 1] != '}') {
      ASSERT_FALSE(got.result.ok()) << cut;
      EXPECT_EQ(got.result.error->kind, Error::Kind::Truncated) << cut << ": " << describe_at(*got.result.error);
      EXPECT_EQ(got.result.error->line, complete + 1) << cut;
    }
  }
  for (int i = 0; i < 300; ++i) {
    std::string damaged = text.substr(0, 3 * text.size() / 4);
    for (int k = 0; k < 1 + i % 4; ++k) damaged[rng() % damaged.size()] = "{}[]\",:\\0a\n\x80"[rng() % 13];
    const Read got = read_text(reader, damaged, i % 2 == 0);
    EXPECT_LE(got.result.visited, line_ends.size());
  }
}

}  // namespace
}  // namespace brisquel::tx
