#include "core/tx/pairing.hpp"

#include <algorithm>
#include <cstring>

namespace brisquel::tx {
namespace {

enum class Scope : std::uint8_t { Invocation, Instruction };

bool takes_part(const Candidate& e, Scope scope) {
  if (e.dropped || e.source == Source::LogAndCpi) return false;
  const bool placed = e.frame != Candidate::kNoFrame;
  if (scope == Scope::Invocation) return placed;
  return e.source == Source::Log ? e.instruction.has_value() : !placed;
}

std::uint32_t scope_key(const Candidate& e, Scope scope) {
  return scope == Scope::Invocation ? e.frame : *e.instruction;
}

void merge(std::vector<Candidate>& events, std::uint32_t log, std::uint32_t cpi) {
  Candidate merged = events[log];
  merged.source = Source::LogAndCpi;
  events[std::min(log, cpi)] = merged;
  events[std::max(log, cpi)].dropped = true;
}

void pair_in_scope(std::vector<Candidate>& events, const std::uint8_t* bytes, std::vector<std::uint32_t>& order,
                   Scope scope) {
  order.clear();
  bool logs = false, cpis = false;
  for (std::uint32_t i = 0; i < events.size(); ++i) {
    if (!takes_part(events[i], scope)) continue;
    order.push_back(i);
    (events[i].source == Source::Log ? logs : cpis) = true;
  }
  if (!logs || !cpis) return;

  // Sorting by key and then position puts the emissions of one event in one
  // run, in order; the n-th log of a run pairs with its n-th self-CPI.
  auto three_way = [&](std::uint32_t a, std::uint32_t b) -> int {
    const Candidate& x = events[a];
    const Candidate& y = events[b];
    const std::uint32_t kx = scope_key(x, scope), ky = scope_key(y, scope);
    if (kx != ky) return kx < ky ? -1 : 1;
    if (x.program != y.program) return x.program < y.program ? -1 : 1;
    if (x.size != y.size) return x.size < y.size ? -1 : 1;
    return std::memcmp(bytes + x.offset, bytes + y.offset, x.size);
  };
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int c = three_way(a, b);
    return c != 0 ? c < 0 : a < b;
  });

  for (std::size_t begin = 0; begin < order.size();) {
    std::size_t end = begin + 1;
    while (end < order.size() && three_way(order[begin], order[end]) == 0) ++end;
    // A merge only rewrites candidates both cursors have passed.
    for (std::size_t li = begin, ci = begin;; ++li, ++ci) {
      while (li < end && events[order[li]].source != Source::Log) ++li;
      while (ci < end && events[order[ci]].source != Source::Cpi) ++ci;
      if (li == end || ci == end) break;
      merge(events, order[li], order[ci]);
    }
    begin = end;
  }
}

}  // namespace

void pair_both_ways(std::vector<Candidate>& events, const std::uint8_t* bytes, std::vector<std::uint32_t>& scratch) {
  pair_in_scope(events, bytes, scratch, Scope::Invocation);
  pair_in_scope(events, bytes, scratch, Scope::Instruction);
}

}  // namespace brisquel::tx
