// The RPC JSON reader on arbitrary text, copied and padded, with default and
// with tight limits. The visitor reads every byte of every view, so a view
// into freed or foreign memory shows up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/tx/rpc_json.hpp"

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
  return 0;
}
