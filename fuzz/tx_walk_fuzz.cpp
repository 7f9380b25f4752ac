// The transaction walker on arbitrary logs and inner instructions: the input's
// lines are the logs, where a line starting with "#" is instead an inner
// instruction ("#<group> <program> <base58 data> <stack height>"); the
// programs are a few fixed addresses, two of them "ours".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/tx/walk.hpp"

namespace {

constexpr std::string_view kPrograms[] = {"Prog1111111111111111111111111111111111111111", "Prog2222222222222222222",
                                          "Other333333333333333333333333333333333333333"};

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t at = text.find(sep);
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static brisquel::tx::TxWalker walker({std::string(kPrograms[0]), std::string(kPrograms[1])});
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  brisquel::tx::TxView tx;
  tx.has_logs = true;
  for (std::string_view line : split(text, '\n')) {
    if (!line.starts_with('#')) {
      tx.logs.push_back(line);
      continue;
    }
    const auto parts = split(line.substr(1), ' ');
    if (parts.size() < 3 || parts[0].empty()) continue;
    const std::uint32_t group = static_cast<std::uint8_t>(parts[0][0]) % 4;
    while (tx.inner.size() <= group) tx.inner.push_back({static_cast<std::uint32_t>(tx.inner.size()), {}});
    brisquel::tx::InnerInstruction inner;
    inner.program = kPrograms[static_cast<std::uint8_t>(parts[1].empty() ? 0 : parts[1][0]) % 3];
    inner.data = parts[2];
    if (parts.size() > 3 && !parts[3].empty()) inner.stack_height = static_cast<std::uint8_t>(parts[3][0]) % 8;
    tx.inner[group].instructions.push_back(inner);
  }
  for (int i = 0; i < 4; ++i) tx.outer_programs.push_back(kPrograms[i % 3]);
  for (bool dedupe : {true, false}) {
    const auto& result = walker.walk(tx, dedupe);
    for (const auto& e : result.events) {
      if (e.payload.size() < 8 || e.program > 1) __builtin_trap();
    }
  }
  return 0;
}
