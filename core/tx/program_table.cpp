#include "core/tx/program_table.hpp"

#include <bit>
#include <cstring>

namespace brisquel::tx {

ProgramTable::ProgramTable(std::vector<std::string> addresses) : addresses_(std::move(addresses)) {
  // At most half full, so a miss ends after a probe or two.
  const std::size_t size = std::bit_ceil(2 * addresses_.size() + 2);
  slots_.assign(size, 0);
  mask_ = size - 1;
  for (std::size_t i = 0; i < addresses_.size(); ++i) {
    if (find(addresses_[i]) != kNone) continue;
    std::size_t s = slot_of(addresses_[i]);
    while (slots_[s] != 0) s = (s + 1) & mask_;
    slots_[s] = static_cast<std::uint32_t>(i + 1);
  }
}

std::size_t ProgramTable::slot_of(std::string_view address) const {
  // Addresses are base58 text of random keys: their first and last characters
  // are spread enough that 16 of them make a good key.
  std::uint64_t head = 0, tail = 0;
  const std::size_t n = address.size();
  if (n != 0) std::memcpy(&head, address.data(), n < 8 ? n : 8);
  if (n > 8) std::memcpy(&tail, address.data() + (n < 16 ? 8 : n - 8), n < 16 ? n - 8 : 8);
  std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
  h ^= h >> 31;
  return static_cast<std::size_t>(h) & mask_;
}

std::uint32_t ProgramTable::find(std::string_view address) const {
  for (std::size_t s = slot_of(address);; s = (s + 1) & mask_) {
    const std::uint32_t v = slots_[s];
    if (v == 0) return kNone;
    if (addresses_[v - 1] == address) return v - 1;
  }
}

}  // namespace brisquel::tx
