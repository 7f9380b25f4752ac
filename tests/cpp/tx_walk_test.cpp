// The transaction walker against generated invocation trees (rendered as logs
// and inner instructions, then cut, stripped, scrambled or left whole), and
// rows for logs that do not follow the runtime's grammar.
#include <gtest/gtest.h>

#include <format>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <simdutf.h>

#include "codec/base58.hpp"
#include "core/tx/log_grammar.hpp"
#include "core/tx/walk.hpp"

namespace brisquel::tx {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Index = std::optional<std::uint32_t>;

std::string base64(const Bytes& b) {
  std::string out(simdutf::base64_length_from_binary(b.size()), '\0');
  simdutf::binary_to_base64(reinterpret_cast<const char*>(b.data()), b.size(), out.data());
  return out;
}

std::string base58(Bytes b, bool tagged = false) {
  if (tagged) b.insert(b.begin(), {0xe4, 0x45, 0xa5, 0x2e, 0x51, 0xcb, 0x9a, 0x1d});
  std::string out(codec::base58_encoded_capacity(b.size()), '\0');
  out.resize(*codec::encode_base58(b, out.data()));
  return out;
}

struct Event {
  std::uint32_t program;
  Index instruction, inner, depth;
  Source source;
  Bytes payload;
  bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* os) {
  auto n = [](Index i) { return i ? std::to_string(*i) : "-"; };
  *os << 'p' << e.program << " i" << n(e.instruction) << " k" << n(e.inner) << " d" << n(e.depth) << ' '
      << source_name(e.source) << ' ' << base64(e.payload);
}

std::vector<Event> walked(TxWalker& walker, const TxView& tx, bool dedupe) {
  std::vector<Event> out;
  for (const FoundEvent& e : walker.walk(tx, dedupe).events) {
    out.push_back({e.program, e.instruction, e.inner, e.depth, e.source, Bytes(e.payload.begin(), e.payload.end())});
  }
  return out;
}

// The text of a transaction, which view() points into.
struct Tx {
  std::vector<std::string> logs, outer;
  std::vector<std::pair<std::uint32_t, std::vector<std::tuple<std::string, std::string, Index>>>> groups;
  bool has_logs = true;

  TxView view() const {
    TxView v;
    v.has_logs = has_logs;
    v.logs.assign(logs.begin(), logs.end());
    v.outer_programs.assign(outer.begin(), outer.end());
    for (const auto& [index, entries] : groups) {
      v.inner.push_back({index, {}});
      for (const auto& [program, data, height] : entries) {
        v.inner.back().instructions.push_back({program, data, height, {}});
      }
    }
    return v;
  }
};

// Random invocation trees of six programs (the first three are the walker's)
// emitting payloads from a small pool, so that programs collide and repeat.
struct Generator {
  struct Emission {
    Event event;
    std::uint32_t frame;  // the emitting invocation
    std::size_t line;     // its log line; a self-CPI's invoke line
  };
  std::mt19937_64 rng;
  std::vector<std::string> programs;
  std::vector<Bytes> payloads = {Bytes(8, 1), Bytes(8, 2), Bytes(17, 3), Bytes(40, 4), Bytes(5, 5)};
  Tx tx;
  std::vector<Emission> emitted;
  std::uint32_t frames = 0;
  bool failing = false;

  explicit Generator(std::uint64_t seed) : rng(seed) {
    for (int p = 0; p < 6; ++p) programs.push_back(base58(Bytes(32, static_cast<std::uint8_t>(p * 40 + 1))));
    for (std::size_t n = 1 + pick(4); n > 0 && !failing; --n) {
      if (pick(4) == 0) tx.outer.push_back("Ed25519SigVerify111111111111111111111111111");
      const std::size_t p = pick(programs.size());
      tx.outer.push_back(programs[p]);
      tx.groups.push_back({static_cast<std::uint32_t>(tx.outer.size() - 1), {}});
      run(p, 1, std::nullopt);
      if (tx.groups.back().second.empty()) tx.groups.pop_back();
    }
  }
  std::size_t pick(std::size_t n) { return rng() % n; }

  void emit(std::size_t p, Source source, const Bytes& payload, std::uint32_t depth, Index inner, std::uint32_t frame) {
    if (p >= 3 || payload.size() < 8) return;
    const Event event{std::uint32_t(p), tx.groups.back().first, inner, depth, source, payload};
    emitted.push_back({event, frame, tx.logs.size()});
  }
  std::uint32_t entry(std::size_t p, std::string data, std::uint32_t height) {
    tx.groups.back().second.emplace_back(programs[p], std::move(data), height);
    return static_cast<std::uint32_t>(tx.groups.back().second.size() - 1);
  }

  void run(std::size_t p, std::uint32_t depth, Index inner) {
    const std::string prefix = "Program " + programs[p];
    const std::uint32_t frame = frames++;
    tx.logs.push_back(prefix + " invoke [" + std::to_string(depth) + "]");
    for (std::size_t n = pick(depth == 1 ? 7 : 4); n > 0 && !(failing = pick(60) == 0); --n) {
      const Bytes& payload = payloads[pick(payloads.size())];
      const std::size_t what = pick(8);
      if (what <= 1 || what == 5) {  // a log line, and for 5 the same as a self-CPI
        emit(p, Source::Log, payload, depth, inner, frame);
        tx.logs.push_back((what ? "Program log: " : "Program data: ") + base64(payload));
      }
      if ((what == 4 || what == 5) && depth < 5) {
        emit(p, Source::Cpi, payload, depth, entry(p, base58(payload, true), depth + 1), frame);
        tx.logs.insert(tx.logs.end(), {prefix + " invoke [" + std::to_string(depth + 1) + "]", prefix + " success"});
      }
      if ((what == 2 || what == 3) && depth < 5) {
        const std::size_t child = pick(programs.size());
        run(child, depth + 1, entry(child, base58(Bytes(pick(20), 7)), depth + 1));
        if (failing) break;  // a failure unwinds every caller
      }
      if (what == 6) tx.logs.push_back("Program log: Instruction: Swap");
      if (what == 7) tx.logs.push_back("Program return: " + programs[p] + " AQID");
    }
    tx.logs.push_back(prefix + " consumed 100 of 200 compute units");
    tx.logs.push_back(prefix + (failing ? " failed: custom program error: 0x1" : " success"));
  }

  // What a walk must find when the logs stop before line `cut`: the emissions
  // before it in order, then the self-CPIs after it in (instruction, inner)
  // order; with `dedupe`, the n-th log and the n-th self-CPI of one payload
  // merged, per invocation and then (for the unplaced) per outer instruction.
  std::vector<Event> expected(std::size_t cut, bool heights, bool dedupe) const {
    constexpr std::uint32_t kUnplaced = UINT32_MAX;
    std::vector<Emission> list;
    for (const Emission& e : emitted) if (e.line < cut) list.push_back(e);
    for (Emission e : emitted) {
      if (e.line < cut || e.event.source != Source::Cpi) continue;
      if (!heights) e.event.depth.reset();
      list.push_back({e.event, kUnplaced, e.line});
    }
    std::vector<bool> dropped(list.size());
    for (const bool per_invocation : {true, false}) {
      if (!dedupe) break;
      std::map<std::tuple<std::uint32_t, std::uint32_t, Bytes>, std::vector<std::size_t>[2]> runs;
      for (std::size_t i = 0; i < list.size(); ++i) {
        const Event& e = list[i].event;
        const bool placed = list[i].frame != kUnplaced, log = e.source == Source::Log;
        if (dropped[i] || e.source == Source::LogAndCpi || (per_invocation ? !placed : !log && placed)) continue;
        runs[{per_invocation ? list[i].frame : *e.instruction, e.program, e.payload}][log].push_back(i);
      }
      for (auto& [key, run] : runs) {
        for (std::size_t j = 0; j < run[0].size() && j < run[1].size(); ++j) {
          list[std::min(run[0][j], run[1][j])].event = list[run[1][j]].event;
          list[std::min(run[0][j], run[1][j])].event.source = Source::LogAndCpi;
          dropped[std::max(run[0][j], run[1][j])] = true;
        }
      }
    }
    std::vector<Event> out;
    for (std::size_t i = 0; i < list.size(); ++i) if (!dropped[i]) out.push_back(list[i].event);
    return out;
  }
};

TEST(TxWalk, GeneratedTrees) {
  for (std::uint64_t seed = 0; seed < 500; ++seed) {
    Generator g(seed);
    TxWalker walker({g.programs[0], g.programs[1], g.programs[2]});
    for (int mode = 0; mode < 5; ++mode) {  // whole, truncated, no logs, nor stack heights, scrambled
      Tx tx = g.tx;
      std::size_t cut = tx.logs.size();
      if (mode == 1) {
        tx.logs.resize(cut = g.pick(cut + 1));
        tx.logs.push_back("Log truncated");
      }
      if (mode == 2 || mode == 3) {
        tx.logs.clear();
        tx.has_logs = false;
        cut = 0;
      }
      if (mode == 3) for (auto& group : tx.groups) for (auto& entry : group.second) std::get<2>(entry).reset();
      if (mode == 4) {
        // Lines dropped, repeated and cut short: whatever comes out is well formed.
        for (auto& line : tx.logs) line = g.pick(4) ? line.substr(0, g.pick(line.size() + 1)) : tx.logs[g.pick(cut)];
        for (const FoundEvent& e : walker.walk(tx.view(), true).events) {
          EXPECT_TRUE(e.program < 3 && e.payload.size() >= 8 && e.depth.value_or(0) <= kMaxInvokeDepth);
        }
        continue;
      }
      for (bool dedupe : {false, true}) {
        ASSERT_EQ(walked(walker, tx.view(), dedupe), g.expected(cut, mode != 3, dedupe))
            << "seed " << seed << " mode " << mode << " dedupe " << dedupe;
        EXPECT_EQ(walker.walk(tx.view(), dedupe).truncated, mode == 1);
      }
    }
  }
}

// Programs "A" and "B" are the walker's; "C" is not.
Bytes payload(int n) { return Bytes(8, static_cast<std::uint8_t>(n)); }
std::string inv(std::string_view p, int d) { return std::format("Program {} invoke [{}]", p, d); }
std::string ok(std::string_view p) { return "Program " + std::string(p) + " success"; }
std::string data(int n) { return "Program data: " + base64(payload(n)); }
Event log(std::uint32_t p, Index i, Index k, std::uint32_t d, int n) { return {p, i, k, d, Source::Log, payload(n)}; }
Event cpi(std::uint32_t p, Index i, Index k, std::uint32_t d, int n) { return {p, i, k, d, Source::Cpi, payload(n)}; }

TEST(TxWalk, LogsOutOfStep) {
  const std::string ed = "Ed25519SigVerify111111111111111111111111111";
  struct Row {
    const char* what;
    Tx tx;
    std::vector<Event> events;
  };
  Row deep{"the stack is bounded", {{}, {"A"}, {}}, {log(0, 0, {}, kMaxInvokeDepth, 64)}};
  for (int d = 1; d <= 65; ++d) {
    deep.tx.logs.push_back(inv("A", d));
    if (d >= 64) deep.tx.logs.push_back(data(d));
  }
  const Row rows[] = {
      {"garbage loses the walk until the next invoke [1]; outer indexes are no longer sure",
       {{inv("A", 1), data(1), "Program A invoke [2", data(2), ok("A"), inv("A", 1), data(3), inv("B", 2), data(4)},
        {"A", "A"}, {}},
       {log(0, 0, {}, 1, 1), log(0, {}, {}, 1, 3), log(1, {}, {}, 2, 4)}},
      {"a pop of another program, or a depth jump, loses the walk but not the count",
       {{inv("A", 1), inv("B", 2), ok("A"), data(1), inv("B", 1), data(2), inv("A", 3), data(3), inv("A", 1), data(4)},
        {"A", "B", "A"}, {}},
       {log(1, 1, {}, 1, 2), log(0, 2, {}, 1, 4)}},
      {"precompiles are skipped unless they log; a mismatch ends the count",
       {{inv(ed, 1), ok(ed), inv("A", 1), data(1), ok("A"), inv("B", 1), data(2), ok("B"), inv("B", 1), data(3),
         ok("B"), inv("A", 1), data(4)},
        {ed, ed, "A", "Secp256r1SigVerify1111111111111111111111111", "B", "A", "B"}, {}},
       {log(0, 2, {}, 1, 1), log(1, 4, {}, 1, 2), log(1, {}, {}, 1, 3), log(0, {}, {}, 1, 4)}},
      {"an inner instruction that disagrees with the logs stops the mapping of its outer instruction",
       {{inv("A", 1), inv("B", 2), data(1), inv("A", 3), ok("A"), ok("B"), ok("A"),
         inv("A", 1), inv("B", 2), data(2), inv("B", 3), ok("B"), ok("B"), ok("A")},
        {"A", "A"},
        {{0, {{"C", "", 2}, {"A", base58(payload(3), true), 3}}},
         {1, {{"B", "", 2}, {"B", base58(payload(4), true), 3}}}}},
       {log(1, 0, {}, 2, 1), log(1, 1, 0, 2, 2), cpi(1, 1, 1, 2, 4), cpi(0, 0, 1, 2, 3)}},
      {"so does a stack height that disagrees",
       {{inv("A", 1), inv("B", 2), data(1), inv("B", 3), ok("B"), ok("B"), ok("A")},
        {"A"}, {{0, {{"B", "", 3}, {"B", base58(payload(2), true), 3}}}}},
       {log(1, 0, {}, 2, 1), cpi(1, 0, 1, 2, 2)}},
      deep,
  };
  TxWalker walker({"A", "B"});
  for (const Row& row : rows) EXPECT_EQ(walked(walker, row.tx.view(), true), row.events) << row.what;
}

// An invoke or exit line names the program up to its first space, wherever
// that falls: before, across and after the first 48 characters, which are
// looked at together.
TEST(TxWalk, LinesNameTheirProgramUpToTheFirstSpace) {
  std::mt19937 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::string program(rng() % 64, 'A');
    for (char& c : program) c = "AZaz19 x"[rng() % 8];
    const std::string verb = i % 2 == 0 ? " success" : " invoke [2]";
    const std::string line = "Program " + program + verb;
    const std::string_view rest = std::string_view(line).substr(8);
    const std::string_view want = rest.substr(0, rest.find(' '));
    const std::string_view verb_seen = rest.substr(want.size() + 1);
    const LogLine got = classify_log_line(line);
    const LineKind kind = verb_seen == "success"                      ? LineKind::Exit
                          : verb_seen == "invoke [2]" && !want.empty() ? LineKind::Invoke
                                                                        : got.kind;
    EXPECT_EQ(got.kind, kind) << line;
    if (kind == LineKind::Exit || kind == LineKind::Invoke) {
      EXPECT_EQ(got.program, want) << line;
    }
  }
}

}  // namespace
}  // namespace brisquel::tx
