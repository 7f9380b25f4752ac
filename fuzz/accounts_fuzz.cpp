// The account reader and account tables on arbitrary text: accounts owned by
// "p" decode with a Borsh and a zero-copy (padded) layout whose one-byte
// discriminators the fuzzer finds at once. Views are read byte by byte, so a
// view into freed or foreign memory shows up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/acct/account_tables.hpp"
#include "core/acct/rpc_accounts.hpp"
#include "idl/loader.hpp"

namespace {

using namespace brisquel;

constexpr std::string_view kIdl = R"({"address":"p","metadata":{"name":"p","version":"0.1.0","spec":"0.1.0"},
  "instructions":[],"accounts":[{"name":"B","discriminator":[66]},{"name":"Z","discriminator":[90]}],
  "types":[{"name":"B","type":{"kind":"struct","fields":[{"name":"s","type":"string"},
             {"name":"v","type":{"vec":{"option":"u128"}}},{"name":"e","type":{"defined":{"name":"E"}}}]}},
           {"name":"E","type":{"kind":"enum","variants":[{"name":"A"},{"name":"B","fields":["u16","pubkey"]}]}},
           {"name":"Z","serialization":"bytemuck","repr":{"kind":"c"},"type":{"kind":"struct","fields":[
             {"name":"f","type":"u8"},{"name":"w","type":"u128"},{"name":"a","type":{"array":[{"defined":{"name":"Z2"}},3]}}]}},
           {"name":"Z2","repr":{"kind":"c","packed":true},"type":{"kind":"struct","fields":[{"name":"x","type":"u8"},{"name":"y","type":"u32"}]}}]})";

const acct::AccountPrograms& programs() {
  static const acct::AccountPrograms p = [] {
    auto idl = idl::convert_idl(kIdl);
    if (!idl) __builtin_trap();
    auto compiled = CompiledIdl::build(*idl);
    if (!compiled) __builtin_trap();
    return acct::AccountPrograms({{"p", std::shared_ptr<const CompiledIdl>(std::move(*compiled))}});
  }();
  return p;
}

std::size_t touch(std::string_view s) {
  std::size_t sum = 0;
  for (char c : s) sum += static_cast<unsigned char>(c);
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static acct::RpcAccountReader reader;
  static acct::RpcAccountReader tight({.max_value_bytes = 4096, .max_depth = 8, .max_items = 4}, 256);
  static const std::vector<acct::AccountSchemas> schemas = {
      acct::AccountSchemas::make(*programs().programs()[0].idl, {}).value()};
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  volatile std::size_t sink = 0;
  acct::AccountTables tables(programs(), schemas);
  auto visit = [&](const acct::AccountView& v, std::size_t) {
    sink = sink + touch(v.pubkey) + touch(v.owner) + touch(v.data_error);
    for (std::uint8_t b : v.data) sink = sink + b;
    tables.add(v);
  };
  const auto copied = reader.read(text, visit);
  std::string padded(text);
  padded.append(json::kJsonPadding, '\xff');
  const auto in_place = reader.read_padded(std::string_view(padded).substr(0, size), visit);
  if (copied.visited != in_place.visited || copied.ok() != in_place.ok()) __builtin_trap();
  if (!copied.ok() && copied.error->offset > size) __builtin_trap();
  const auto tight_result = tight.read(text, visit);
  // Every account handed over is a row, an error row or a count.
  const auto out = tables.finish();
  const auto& c = out.counts;
  if (c.decoded + c.failed + c.missing + c.other_owner + c.parsed + c.unreadable + c.no_match !=
      copied.visited + in_place.visited + tight_result.visited) {
    __builtin_trap();
  }
  return 0;
}
