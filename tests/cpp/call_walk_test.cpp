// Instruction calls against generated invocation trees: calls of three
// programs with IDLs (and of three without) at every depth, composite and
// optional accounts, accounts past the layout's, old shorter argument lists,
// trailing bytes, self-CPI events, failures at any depth, and hostile
// instructions. Each tree is written as RPC JSON, read back, walked, and its
// calls and call tables compared with what the tree says, the arguments with an independent Borsh
// encoding of the generated values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <format>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/json_sink.hpp"
#include "core/tx/call_tables.hpp"
#include "core/tx/calls.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/walk.hpp"
#include "rpc_test_support.hpp"

namespace brisquel::tx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Index = std::optional<std::uint32_t>;
using testing::base58_reference;

// ---- the programs' IDL: one for all three, errors apart ----

idl::IdlType scalar(idl::IdlType::Kind kind) {
  idl::IdlType t;
  t.kind = kind;
  return t;
}
idl::IdlType wrap(idl::IdlType::Kind kind, idl::IdlType inner) {
  idl::IdlType t;
  t.kind = kind;
  t.inner = std::move(inner);
  return t;
}
idl::IdlInstructionAccountItem single(std::string name, bool optional = false) {
  idl::IdlInstructionAccountItem item;
  item.single.name = std::move(name);
  item.single.optional = optional;
  return item;
}

// "swap" (8-byte discriminator) begins with "quote"'s (3 bytes): data
// that begins with swap's is swap, other data that begins with [1, 2, 3] is quote.
const Bytes kSwap = {1, 2, 3, 4, 5, 6, 7, 8}, kQuote = {1, 2, 3}, kPing = {9};

idl::Idl program_idl(int p) {
  using K = idl::IdlType::Kind;
  idl::Idl idl;
  idl::IdlTypeDef& pair = idl.types.emplace_back();
  pair.name = "Pair";
  pair.type.fields.emplace();
  pair.type.fields->named = {{"a", {}, scalar(K::U8)}, {"b", {}, scalar(K::Bool)}};
  idl::IdlType pair_ref = scalar(K::Defined);
  pair_ref.name = "Pair";

  idl::IdlInstruction& swap = idl.instructions.emplace_back();
  swap.name = "swap";
  swap.discriminator = kSwap;
  idl::IdlInstructionAccountItem pool;
  pool.kind = idl::IdlInstructionAccountItem::Kind::Composite;
  pool.composite.name = "pool";
  pool.composite.accounts = {single("state"), single("vault")};
  swap.accounts = {single("payer"), pool, single("referrer", true)};
  swap.args = {{"x", {}, scalar(K::U64)},
               {"s", {}, scalar(K::String)},
               {"v", {}, wrap(K::Vec, scalar(K::U16))},
               {"t", {}, pair_ref}};

  idl::IdlInstruction& quote = idl.instructions.emplace_back();
  quote.name = "quote";
  quote.discriminator = kQuote;
  quote.accounts = {single("payer"), single("oracle", true)};
  quote.args = {{"k", {}, wrap(K::Option, scalar(K::Pubkey))}, {"n", {}, scalar(K::U8)}};

  idl::IdlInstruction& ping = idl.instructions.emplace_back();
  ping.name = "ping";
  ping.discriminator = kPing;
  ping.accounts = {single("anyone")};

  if (p == 0) idl.errors = {{6000, "ZeroFirst", "the first of zero"}};
  if (p == 1) idl.errors = {{6000, "OneFirst", {}}};
  if (p == 2) idl.errors = {{3012, "TwoNotReady", "its own 3012"}};
  return idl;
}

// What the failing program's IDL, else the framework, calls a code.
std::pair<std::string, std::string> error_name(std::size_t program, std::optional<std::uint32_t> code) {
  if (!code) return {};
  if (program == 0 && *code == 6000) return {"ZeroFirst", "the first of zero"};
  if (program == 1 && *code == 6000) return {"OneFirst", ""};
  if (program == 2 && *code == 3012) return {"TwoNotReady", "its own 3012"};
  if (*code == 3012) return {"AccountNotInitialized", "The program expected this account to be already initialized"};
  if (*code == 2006) return {"ConstraintSeeds", "A seeds constraint was violated"};
  return {};
}

// ---- an independent Borsh encoding, and the JSON each value reads as ----

struct Arg {
  std::string name, json;  // the value as JSON text (null when the call is of an older layout)
  Bytes borsh;
};

template <class T>
void put(Bytes& out, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
}

struct Generator {
  static constexpr std::size_t kOurs = 3, kPrograms = 6, kOthers = 8, kLoaded = 2;
  std::mt19937_64 rng;
  std::vector<std::string> keys;  // fee payer, the programs, other keys, then the loaded ones
  std::size_t static_keys = 0;

  struct Invocation {
    std::size_t program = 0;
    std::string data;  // base58 text (or not base58 at all)
    Bytes raw;         // the same bytes
    std::vector<std::uint32_t> accounts;
    std::uint32_t depth = 0;
    std::uint32_t outer = 0;
    Index inner;
    std::size_t invoke_line = 0;
    // As a call: its instruction ("" when the data is not base58), what the
    // call table gets, or the message of its error row.
    bool call = false;
    std::string instruction;
    std::vector<Arg> args;
    bool decodes = true;
    std::string problem;
  };
  std::vector<Invocation> invocations;  // in execution order
  std::vector<std::string> logs;
  std::vector<std::vector<std::size_t>> groups;  // per outer instruction: its inner invocations
  std::vector<std::size_t> outer;                // per outer instruction: its invocation
  bool failing = false, failed = false;
  std::size_t failed_invocation = 0, failed_line = 0;
  std::optional<std::uint32_t> failed_code;  // none: compute budget
  std::string reason;

  explicit Generator(std::uint64_t seed) : rng(seed) {
    keys.push_back(key(0));
    for (std::size_t p = 0; p < kPrograms; ++p) keys.push_back(key(static_cast<int>(p * 40 + 1)));
    for (std::size_t k = 0; k < kOthers; ++k) keys.push_back(key(static_cast<int>(10 + k)));
    static_keys = keys.size();
    for (std::size_t k = 0; k < kLoaded; ++k) keys.push_back(key(static_cast<int>(30 + k)));
    for (std::size_t n = 1 + pick(4); n > 0 && !failing; --n) {
      outer.push_back(invocations.size());
      groups.emplace_back();
      run(pick(kPrograms), 1, std::nullopt);
    }
  }

  static std::string key(int seed) {
    Bytes b(32);
    for (std::size_t i = 0; i < 32; ++i) b[i] = static_cast<std::uint8_t>(seed * 7 + i * 13 + 1);
    return base58_reference(b);
  }
  std::size_t pick(std::size_t n) { return rng() % n; }
  const std::string& program_key(std::size_t p) const { return keys[1 + p]; }

  std::string text_of(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('a' + pick(26));
    return s;
  }

  // A call of one of our programs: its instruction, arguments and accounts.
  void make_call(Invocation& at) {
    using Layout = std::vector<std::string>;
    const std::size_t which = pick(3);
    at.call = true;
    at.instruction = which == 0 ? "swap" : which == 1 ? "quote" : "ping";
    Bytes data = which == 0 ? kSwap : which == 1 ? kQuote : kPing;
    if (which == 0) {
      Arg x{"x", "", {}}, s{"s", "", {}}, v{"v", "", {}}, t{"t", "", {}};
      const std::uint64_t xv = rng();
      put(x.borsh, xv);
      x.json = std::to_string(xv);
      const std::string text = text_of(pick(6));
      put(s.borsh, static_cast<std::uint32_t>(text.size()));
      s.borsh.insert(s.borsh.end(), text.begin(), text.end());
      s.json = "\"" + text + "\"";
      const std::size_t count = pick(4);
      put(v.borsh, static_cast<std::uint32_t>(count));
      v.json = "[";
      for (std::size_t i = 0; i < count; ++i) {
        const auto e = static_cast<std::uint16_t>(rng());
        put(v.borsh, e);
        v.json += (i ? ", " : "") + std::to_string(e);
      }
      v.json += "]";
      const auto a = static_cast<std::uint8_t>(rng());
      const bool b = pick(2);
      put(t.borsh, a);
      put(t.borsh, std::uint8_t{b});
      t.json = std::format(R"({{"a": {}, "b": {}}})", a, b);
      at.args = {x, s, v, t};
      if (pick(12) == 0) {  // a forged vector length
        at.args[2].borsh.assign({0xf0, 0xff, 0xff, 0x7f});
        at.decodes = false;
      }
    } else if (which == 1) {
      Arg k{"k", "null", {0}}, n{"n", "", {}};
      if (pick(2)) {
        Bytes pubkey(32);
        for (auto& byte : pubkey) byte = static_cast<std::uint8_t>(rng());
        k.borsh = {1};
        k.borsh.insert(k.borsh.end(), pubkey.begin(), pubkey.end());
        k.json = "\"" + base58_reference(pubkey) + "\"";
      }
      const auto nv = static_cast<std::uint8_t>(rng());
      put(n.borsh, nv);
      n.json = std::to_string(nv);
      at.args = {k, n};
    }
    // Older callers send fewer arguments; some send bytes after them.
    std::size_t sent = at.args.size();
    if (at.decodes && !at.args.empty() && pick(5) == 0) sent = pick(at.args.size());
    for (std::size_t i = 0; i < at.args.size(); ++i) {
      if (i < sent) data.insert(data.end(), at.args[i].borsh.begin(), at.args[i].borsh.end());
      else at.args[i].json = "null";
    }
    // (Bytes after a shorter list would read as the arguments it lacks.)
    if (sent == at.args.size() && pick(5) == 0) {
      for (std::size_t i = pick(4) + 1; i > 0; --i) data.push_back(static_cast<std::uint8_t>(rng()));
    }
    at.raw = data;
    at.data = base58_reference(data);

    const Layout slots = which == 0 ? Layout{"payer", "pool.state", "pool.vault", "referrer"}
                         : which == 1 ? Layout{"payer", "oracle"}
                                      : Layout{"anyone"};
    const std::size_t count = pick(slots.size() + 4);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t index = static_cast<std::uint32_t>(pick(keys.size()));
      if (pick(4) == 0) index = static_cast<std::uint32_t>(1 + at.program);  // the program's own: absent where optional
      at.accounts.push_back(index);
    }
    if (pick(25) == 0) {
      at.accounts.push_back(static_cast<std::uint32_t>(keys.size() + 3));
      at.problem = std::format("account index {} is beyond the transaction's {} account keys", keys.size() + 3,
                               keys.size());
    }
    if (pick(30) == 0) {
      at.data = "0OIl";
      at.instruction.clear();
      at.problem = "instruction data is not base58";
    }
  }

  Invocation invocation(std::size_t p, std::uint32_t depth, Index inner) const {
    Invocation at;
    at.program = p;
    at.depth = depth;
    at.outer = static_cast<std::uint32_t>(outer.size() - 1);
    at.inner = inner;
    at.invoke_line = logs.size();
    return at;
  }

  std::size_t add_invocation(std::size_t p, std::uint32_t depth, Index inner) {
    Invocation at = invocation(p, depth, inner);
    if (p < kOurs && pick(4) != 0) {
      make_call(at);
    } else {
      // Another program's instruction, or one of ours whose data names no instruction.
      Bytes data(pick(12));
      for (auto& b : data) b = static_cast<std::uint8_t>(rng());
      if (!data.empty() && (data[0] == 1 || data[0] == 9 || data[0] == 0xe4)) data[0] = 0xee;
      at.raw = data;
      at.data = base58_reference(data);
      for (std::size_t i = pick(3); i > 0; --i) at.accounts.push_back(static_cast<std::uint32_t>(pick(keys.size())));
    }
    invocations.push_back(at);
    return invocations.size() - 1;
  }

  void run(std::size_t p, std::uint32_t depth, Index inner) {
    const std::size_t self = add_invocation(p, depth, inner);
    const std::string prefix = "Program " + program_key(p);
    logs.push_back(prefix + " invoke [" + std::to_string(depth) + "]");
    auto child_entry = [&] { return static_cast<std::uint32_t>(groups.back().size()); };
    for (std::size_t n = pick(depth == 1 ? 5 : 3); n > 0 && !failing; --n) {
      const std::size_t what = pick(6);
      if (what <= 2 && depth < 5) {
        const Index entry = child_entry();
        groups.back().push_back(invocations.size());
        run(pick(kPrograms), depth + 1, entry);
      } else if (what == 3 && p < kOurs && depth < 5) {
        // A self-CPI event: an instruction of ours, never a call.
        Bytes event = {0xe4, 0x45, 0xa5, 0x2e, 0x51, 0xcb, 0x9a, 0x1d, 1, 2, 3, 4, 5, 6, 7, 8};
        Invocation at = invocation(p, depth + 1, child_entry());
        at.raw = event;
        at.data = base58_reference(event);
        groups.back().push_back(invocations.size());
        invocations.push_back(at);
        logs.insert(logs.end(), {prefix + " invoke [" + std::to_string(depth + 1) + "]", prefix + " success"});
      } else {
        logs.push_back("Program log: working");
      }
    }
    logs.push_back(prefix + " consumed 100 of 200 compute units");
    if (!failing && pick(12) == 0) {
      failing = failed = true;
      failed_invocation = self;
      failed_line = logs.size();
      static constexpr std::uint32_t kCodes[] = {6000, 6001, 3012, 2006, 1};
      if (pick(6) == 0) {
        reason = "exceeded CUs meter at BPF instruction";
      } else {
        failed_code = kCodes[pick(std::size(kCodes))];
        reason = std::format("custom program error: {:#x}", *failed_code);
      }
    }
    logs.push_back(prefix + (failing ? " failed: " + reason : " success"));
  }

  // ---- the transaction as RPC JSON ----

  struct Form {
    bool logs = true, heights = true;
    std::optional<std::size_t> cut;  // logs kept before "Log truncated"
  };

  static std::string json_list(const std::vector<std::uint32_t>& v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
    return s + "]";
  }

  std::string json(const Form& form) const {
    std::string logs_json = "null";
    if (form.logs) {
      std::vector<std::string> kept = logs;
      if (form.cut) {
        kept.resize(*form.cut);
        kept.push_back("Log truncated");
      }
      logs_json = "[";
      for (std::size_t i = 0; i < kept.size(); ++i) logs_json += (i ? ",\"" : "\"") + kept[i] + "\"";
      logs_json += "]";
    }
    std::string inner = "[";
    for (std::size_t o = 0; o < outer.size(); ++o) {
      if (groups[o].empty()) continue;
      inner += std::format(R"({}{{"index":{},"instructions":[)", inner.size() > 1 ? "," : "", o);
      for (std::size_t e = 0; e < groups[o].size(); ++e) {
        const Invocation& at = invocations[groups[o][e]];
        inner += std::format(R"({}{{"programIdIndex":{},"accounts":{},"data":"{}"{}}})", e ? "," : "", 1 + at.program,
                             json_list(at.accounts), at.data,
                             form.heights ? std::format(R"(,"stackHeight":{})", at.depth) : "");
      }
      inner += "]}";
    }
    inner += "]";
    std::string err = "null";
    if (failed) {
      const std::uint32_t o = invocations[failed_invocation].outer;
      err = failed_code ? std::format(R"({{"InstructionError":[{},{{"Custom":{}}}]}})", o, *failed_code)
                        : std::format(R"({{"InstructionError":[{},"ProgramFailedToComplete"]}})", o);
    }
    std::string loaded = "[";
    for (std::size_t k = static_keys; k < keys.size(); ++k) loaded += (k > static_keys ? ",\"" : "\"") + keys[k] + "\"";
    loaded += "]";
    const std::string meta = std::format(
        R"({{"err":{},"logMessages":{},"innerInstructions":{},"loadedAddresses":{{"writable":[],"readonly":{}}}}})", err,
        logs_json, inner, loaded);
    std::string account_keys = "[";
    for (std::size_t k = 0; k < static_keys; ++k) account_keys += (k ? ",\"" : "\"") + keys[k] + "\"";
    account_keys += "]";
    std::string instructions = "[";
    for (std::size_t i = 0; i < outer.size(); ++i) {
      const Invocation& at = invocations[outer[i]];
      instructions += std::format(R"({}{{"programIdIndex":{},"accounts":{},"data":"{}"}})", i ? "," : "",
                                  1 + at.program, json_list(at.accounts), at.data);
    }
    instructions += "]";
    return std::format(
        R"({{"slot":5,"blockTime":6,"meta":{},"transaction":{{"signatures":["sig"],"message":{{"accountKeys":{},"instructions":{}}}}}}})",
        meta, account_keys, instructions);
  }

  // ---- what the calls must be ----

  struct Expected {
    std::size_t invocation = 0;
    Index depth;
    bool error = false;  // the call carries the failure
    std::optional<std::uint32_t> code;
    std::string name, message, text;
  };

  std::vector<Expected> expected(const Form& form) const {
    const std::size_t cut = !form.logs ? 0 : form.cut ? *form.cut : logs.size();
    const bool logs_tell = failed && failed_line < cut;
    std::vector<Expected> out;
    for (std::size_t i = 0; i < invocations.size(); ++i) {
      const Invocation& at = invocations[i];
      if (!at.call) continue;
      Expected e;
      e.invocation = i;
      e.depth = at.depth;
      if (at.inner && !form.heights && at.invoke_line >= cut) e.depth.reset();
      const Invocation& failing_at = invocations[failed_invocation];
      if (logs_tell && failed_invocation == i) {
        e.error = true;
        e.code = failed_code;
        e.text = reason;
        std::tie(e.name, e.message) = error_name(at.program, e.code);
      } else if (failed && !logs_tell && !at.inner && at.outer == failing_at.outer) {
        e.error = true;  // meta.err's outer instruction, with its code
        e.code = failed_code;
        e.text = failed_code ? std::format("custom program error: {:#x}", *failed_code) : "ProgramFailedToComplete";
        std::tie(e.name, e.message) = error_name(at.program, e.code);
      }
      if (e.error && e.message.empty()) e.message = e.text;
      out.push_back(e);
    }
    return out;
  }
};

// ---- reading the tables back ----

bool bit(const arrow::Buffer& b, std::int64_t i) { return (b.data()[i >> 3] >> (i & 7)) & 1; }

std::string cell(const arrow::Field& f, const arrow::ArrayData& a, std::int64_t i) {
  using T = arrow::TypeId;
  if (a.null_count != 0 && !bit(a.buffers[0], i)) return "null";
  const std::uint8_t* values = a.buffers.size() > 1 ? a.buffers[1].data() : nullptr;
  auto at = [&]<class V>(V) {
    V v;
    std::memcpy(&v, values + i * static_cast<std::int64_t>(sizeof(V)), sizeof(V));
    return v;
  };
  switch (f.type.id) {
    case T::Bool: return bit(a.buffers[1], i) ? "true" : "false";
    case T::UInt8: return std::to_string(at(std::uint8_t{}));
    case T::UInt16: return std::to_string(at(std::uint16_t{}));
    case T::Int32: return std::to_string(at(std::int32_t{}));
    case T::UInt32: return std::to_string(at(std::uint32_t{}));
    case T::Int64: return std::to_string(at(std::int64_t{}));
    case T::UInt64: return std::to_string(at(std::uint64_t{}));
    case T::Utf8: {
      const auto* offsets = reinterpret_cast<const std::int32_t*>(values);
      return "\"" + std::string(reinterpret_cast<const char*>(a.buffers[2].data()) + offsets[i],
                                static_cast<std::size_t>(offsets[i + 1] - offsets[i])) + "\"";
    }
    case T::FixedSizeBinary: return "\"" + base58_reference(Bytes(values + 32 * i, values + 32 * i + 32)) + "\"";
    case T::List: {
      const auto* offsets = reinterpret_cast<const std::int32_t*>(values);
      std::string s = "[";
      for (std::int32_t j = offsets[i]; j < offsets[i + 1]; ++j) {
        s += (j > offsets[i] ? ", " : "") + cell(f.type.children[0], *a.children[0], j);
      }
      return s + "]";
    }
    case T::Struct: {
      std::string s = "{";
      for (std::size_t c = 0; c < f.type.children.size(); ++c) {
        s += std::format("{}\"{}\": {}", c ? ", " : "", f.type.children[c].name, cell(f.type.children[c], *a.children[c], i));
      }
      return s + "}";
    }
    default: return "?";
  }
}

// Each row as "name=value" lines.
std::vector<std::string> rows_of(const arrow::Table& table) {
  std::vector<std::string> out;
  for (const auto& batch : table.batches) {
    for (std::int64_t r = 0; r < batch->length; ++r) {
      std::string row;
      for (std::size_t c = 0; c < table.fields.size(); ++c) {
        row += table.fields[c].name + "=" + cell(table.fields[c], *batch->columns[c], r) + "\n";
      }
      out.push_back(row);
    }
  }
  return out;
}

std::string optional_text(const Index& v) { return v ? std::to_string(*v) : "null"; }

// The row a call makes: context, accounts, arguments, the rest.
std::string expected_row(const Generator& g, const Generator::Expected& e, std::int64_t tx, bool truncated) {
  const Generator::Invocation& at = g.invocations[e.invocation];
  std::string row = std::format("_tx={}\n_signature=\"{}\"\n_slot=5\n_block_time=6\n", tx, "SIG");
  row += std::format("_instruction={}\n_inner={}\n_depth={}\n_truncated={}\n", at.outer, optional_text(at.inner),
                     optional_text(e.depth), truncated);
  row += std::format("_fee_payer=\"{}\"\n_failed={}\n", g.keys[0], g.failed);
  row += std::format("_error_code={}\n", e.error && e.code ? std::to_string(*e.code) : "null");
  row += std::format("_error_name={}\n", e.error && !e.name.empty() ? "\"" + e.name + "\"" : "null");
  row += std::format("_error_message={}\n", e.error && !e.message.empty() ? "\"" + e.message + "\"" : "null");
  const std::vector<std::pair<std::string, bool>> slots =
      at.instruction == "swap"    ? std::vector<std::pair<std::string, bool>>{{"payer", false}, {"pool.state", false},
                                                                             {"pool.vault", false}, {"referrer", true}}
      : at.instruction == "quote" ? std::vector<std::pair<std::string, bool>>{{"payer", false}, {"oracle", true}}
                                  : std::vector<std::pair<std::string, bool>>{{"anyone", false}};
  for (std::size_t j = 0; j < slots.size(); ++j) {
    const bool absent = j >= at.accounts.size() || (slots[j].second && at.accounts[j] == 1 + at.program);
    row += std::format("account_{}={}\n", slots[j].first, absent ? "null" : "\"" + g.keys[at.accounts[j]] + "\"");
  }
  for (const Arg& a : at.args) row += std::format("arg_{}={}\n", a.name, a.json);
  row += "_remaining=[";
  for (std::size_t j = slots.size(); j < at.accounts.size(); ++j) {
    row += (j > slots.size() ? ", \"" : "\"") + g.keys[at.accounts[j]] + "\"";
  }
  return row + "]\n";
}

struct Decoder {
  std::vector<TxProgram> programs;
  std::vector<CallSchemas> schemas;

  explicit Decoder(const Generator& g, const TableOptions& options) {
    for (std::size_t p = 0; p < Generator::kOurs; ++p) {
      auto idl = CompiledIdl::build(program_idl(static_cast<int>(p)));
      EXPECT_TRUE(idl) << idl.error();
      auto events = TableSchemas::make(**idl, options, kTxContextNames);
      programs.push_back(TxProgram{g.program_key(p), std::move(*idl), std::move(*events)});
      schemas.push_back(CallSchemas::make(*programs.back().idl, options));
    }
  }
  std::vector<std::string> addresses() const {
    std::vector<std::string> out;
    for (const auto& p : programs) out.push_back(p.address);
    return out;
  }
};

TEST(CallWalk, GeneratedTrees) {
  TableOptions options;
  options.null_short_events = true;
  const Generator shape(0);
  Decoder decoder(shape, options);
  TxWalker walker(decoder.addresses());
  CallFinder finder(decoder.programs);
  RpcJsonReader reader({}, ReadScope::kCalls);
  std::size_t calls = 0, errors = 0, failures = 0;
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    Generator g(seed);
    // Modes from 6 on walk without events: the finder must then tell self-CPI events itself.
    for (int mode = 0; mode < 12; ++mode) {
      const bool events = mode < 6;
      Generator::Form form;
      if (mode % 6 == 1 || mode % 6 == 3 || mode % 6 == 5) form.heights = false;
      if (mode % 6 == 2 || mode % 6 == 3) form.logs = false;
      if (mode % 6 >= 4) form.cut = g.pick(g.logs.size() + 1);
      const std::string text = g.json(form);
      const auto want = g.expected(form);
      SCOPED_TRACE(std::format("seed {} mode {}\n{}", seed, mode, text));

      CallTables tables(decoder.programs, decoder.schemas);
      std::vector<std::string> want_rows[Generator::kOurs][3], want_errors;
      std::size_t seen = 0;
      const ReadResult read = reader.read(text, [&](const TxView& view, std::size_t) {
        ++seen;
        TxView named = view;
        named.signature = "SIG";
        const WalkResult& walk = walker.walk(named, true, events);
        // Without events, a transaction that lists none of ours is not walked.
        const bool ours = std::ranges::any_of(g.invocations, [](const auto& at) { return at.program < Generator::kOurs; });
        EXPECT_EQ(walk.lists_programs, ours || events);
        const auto& found = finder.find(named, walk);
        ASSERT_EQ(found.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
          const Generator::Expected& e = want[i];
          const Generator::Invocation& at = g.invocations[e.invocation];
          const FoundCall& c = found[i];
          SCOPED_TRACE(std::format("call {}", i));
          EXPECT_EQ(c.program, at.program);
          EXPECT_EQ(c.layout == nullptr ? "" : c.layout->name, at.instruction);
          EXPECT_EQ(c.instruction, at.outer);
          EXPECT_EQ(c.inner, at.inner);
          EXPECT_EQ(c.depth, e.depth);
          EXPECT_EQ(c.failed, g.failed);
          EXPECT_EQ(describe_problem(c), at.problem);
          ASSERT_EQ(c.error != nullptr, e.error);
          if (e.error) {
            EXPECT_EQ(c.error->code, e.code);
            EXPECT_EQ(c.error->name, e.name);
            EXPECT_EQ(c.error->message.value_or(c.error->text), e.message);
            EXPECT_EQ(c.error->text, e.text);
          }
          const int table = at.instruction == "swap" ? 0 : at.instruction == "quote" ? 1 : 2;
          if (!at.problem.empty()) {
            // Not in a value: no path; the kind is the call's problem.
            want_errors.push_back("\"" + at.problem + "\"\npath=null\nkind=\"" + kind_name(c.problem) + "\"");
            continue;
          }
          // The arguments, as the walk reads them for any sink.
          std::string json;
          JsonSink sink(json);
          WalkState state(c.args);
          JsonSink::Walk w(sink, state);
          const bool decoded = w.decode_fields(c.layout->args, {}, true);
          EXPECT_EQ(decoded, at.decodes);
          if (!at.decodes) {
            const std::string path = format_path(state.error.path);
            want_errors.push_back("\"" + describe(state.error) + "\"\npath=" + (path.empty() ? "null" : "\"" + path + "\"") +
                                  "\nkind=\"" + kind_name(state.error.kind) + "\"");
            continue;
          }
          std::string want_json = "{";
          for (std::size_t a = 0; a < at.args.size(); ++a) {
            want_json += std::format("{}\"{}\": {}", a ? ", " : "", at.args[a].name, at.args[a].json);
          }
          EXPECT_EQ(json, want_json + "}");
          want_rows[at.program][table].push_back(expected_row(g, e, 40, form.logs && form.cut));
        }
        tables.add(40, named, walk, found);
      });
      ASSERT_TRUE(read.ok()) << describe_at(*read.error);
      ASSERT_EQ(seen, 1u);
      const CallTables::Output out = tables.finish();
      for (std::size_t p = 0; p < Generator::kOurs; ++p) {
        for (std::size_t t = 0; t < 3; ++t) EXPECT_EQ(rows_of(*out.calls[p][t]), want_rows[p][t]) << p << " " << t;
      }
      std::vector<std::string> got_errors;
      for (const std::string& row : rows_of(*out.errors)) {
        EXPECT_EQ(row.find("\ninstruction=null\n") != std::string::npos,
                  row.find("instruction data is not base58") != std::string::npos);
        const std::size_t at = row.rfind("\nmessage=") + 9;
        got_errors.push_back(row.substr(at, row.size() - at - 1));
      }
      EXPECT_EQ(got_errors, want_errors);
      calls += want.size();
      errors += want_errors.size();
      failures += std::ranges::count_if(want, [](const auto& e) { return e.error; });
    }
  }
  // The trees reach what they are for.
  EXPECT_GT(calls, 2000u);
  EXPECT_GT(errors, 100u);
  EXPECT_GT(failures, 100u);
}

}  // namespace
}  // namespace brisquel::tx
