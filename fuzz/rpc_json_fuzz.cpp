// The RPC JSON reader on arbitrary text, copied and padded, with default and
// with tight limits, and read for calls, whose finder and tables then run on
// each transaction. The visitor reads every byte of every view, so a view
// into freed or foreign memory shows up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/tx/call_tables.hpp"
#include "core/tx/calls.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/summary_tables.hpp"
#include "core/tx/walk.hpp"

namespace {

std::size_t touch(std::string_view s) {
  std::size_t sum = 0;
  for (char c : s) sum += static_cast<unsigned char>(c);
  return sum;
}

std::size_t visit_all(const brisquel::tx::TxView& v) {
  std::size_t sum = touch(v.signature);
  for (auto l : v.logs) sum += touch(l);
  for (auto p : v.outer_programs) sum += touch(p);
  for (const auto& g : v.inner) {
    for (const auto& ix : g.instructions) sum += touch(ix.program) + touch(ix.data);
  }
  return sum;
}

std::size_t visit_calls(const brisquel::tx::TxView& v) {
  std::size_t sum = 0;
  for (auto k : v.account_keys) sum += touch(k);
  for (const auto& a : v.accounts) sum += touch(a.address);
  for (const auto& o : v.outer) sum += touch(o.data.text) + o.data.bytes.size() + (o.data.bytes.empty() ? 0 : o.data.bytes.back());
  return sum + touch(v.error.name);
}

// Two programs whose instructions begin with common bytes: pump's buy (0x66),
// and the System Program's transfer ([2, 0, 0, 0]), with a few arguments.
struct Calls {
  std::vector<brisquel::TxProgram> programs;
  std::vector<brisquel::CallSchemas> schemas;
  std::unique_ptr<brisquel::tx::TxWalker> walker;
  std::unique_ptr<brisquel::tx::CallFinder> finder;

  Calls() {
    using Kind = brisquel::idl::IdlType::Kind;
    const std::pair<const char*, std::vector<std::uint8_t>> made[] = {
        {"6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P", {0x66}}, {"11111111111111111111111111111111", {2, 0, 0, 0}}};
    brisquel::TableOptions options;
    options.null_short_events = true;
    std::vector<std::string> addresses;
    for (const auto& [address, disc] : made) {
      brisquel::idl::Idl idl;
      auto& ix = idl.instructions.emplace_back();
      ix.name = "ix";
      ix.discriminator = disc;
      ix.accounts.resize(3);
      ix.accounts[2].single.optional = true;
      for (Kind k : {Kind::U64, Kind::String, Kind::Pubkey}) {
        brisquel::idl::IdlField& arg = ix.args.emplace_back();
        arg.name = "a";
        arg.type.kind = k;
      }
      idl.errors = {{6000, "E", "e"}};
      auto compiled = brisquel::CompiledIdl::build(idl);
      auto events = brisquel::TableSchemas::make(**compiled, options, {});
      programs.push_back({address, std::move(*compiled), std::move(*events)});
      schemas.push_back(brisquel::CallSchemas::make(*programs.back().idl, options));
      addresses.push_back(address);
    }
    walker = std::make_unique<brisquel::tx::TxWalker>(addresses);
    finder = std::make_unique<brisquel::tx::CallFinder>(programs);
  }

  std::size_t run(const brisquel::tx::TxView& v) {
    brisquel::CallTables tables(programs, schemas);
    const auto& walk = walker->walk(v, true);
    const auto& calls = finder->find(v, walk);
    std::size_t sum = 0;
    for (const auto& c : calls) {
      for (auto a : c.named) sum += touch(a);
      for (auto a : c.remaining) sum += touch(a);
      for (auto b : c.args) sum += b;
      if (c.error != nullptr) sum += touch(c.error->text) + touch(c.error->name);
    }
    tables.add(0, v, walk, calls);
    (void)tables.finish();
    return sum;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static brisquel::tx::RpcJsonReader reader;
  static brisquel::tx::RpcJsonReader tight({.max_value_bytes = 4096, .max_depth = 8, .max_items = 4});
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  volatile std::size_t sink = 0;
  auto visit = [&](const brisquel::tx::TxView& v, std::size_t) { sink = sink + visit_all(v); };
  const auto copied = reader.read(text, visit);
  std::string padded(text);
  padded.append(brisquel::tx::kJsonPadding, '\xff');
  const auto in_place = reader.read_padded(std::string_view(padded).substr(0, size), visit);
  // The two ways in read the same text the same way.
  if (copied.visited != in_place.visited || copied.ok() != in_place.ok()) __builtin_trap();
  if (!copied.ok() && (copied.error->kind != in_place.error->kind || copied.error->offset != in_place.error->offset)) {
    __builtin_trap();
  }
  if (!copied.ok() && copied.error->offset > size) __builtin_trap();
  (void)tight.read(text, visit);
  static brisquel::tx::RpcJsonReader for_calls({}, brisquel::tx::ReadScope::kCalls);
  static Calls calls;
  (void)for_calls.read(text, [&](const brisquel::tx::TxView& v, std::size_t) {
    sink = sink + visit_all(v) + visit_calls(v) + calls.run(v);
  });
  static brisquel::tx::RpcJsonReader for_summary({}, brisquel::tx::ReadScope::kSummary);
  brisquel::SummaryTables summary;
  (void)for_summary.read(text, [&](const brisquel::tx::TxView& v, std::size_t i) {
    summary.add(static_cast<std::int64_t>(i), v);
  });
  sink = sink + summary.finish().balances->batches.size();
  return 0;
}
