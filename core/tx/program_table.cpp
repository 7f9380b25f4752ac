#include "core/tx/program_table.hpp"

#include <bit>
#include <cstring>

namespace brisquel::tx {

namespace {

// The first eight characters of `address` (zero-filled), which tell almost
// every other address from ours without comparing the rest.
std::uint64_t head_of(std::string_view address) {
  std::uint64_t head = 0;
  if (address.size() >= 8) [[likely]] {
    std::memcpy(&head, address.data(), 8);
  } else if (!address.empty()) {
    std::memcpy(&head, address.data(), address.size());
  }
  return head;
}

}  // namespace

ProgramTable::ProgramTable(std::vector<std::string> addresses) : addresses_(std::move(addresses)) {
  // At most a quarter full, so a miss almost always ends at its first probe.
  const std::size_t size = std::bit_ceil(4 * addresses_.size() + 4);
  slots_.assign(size, Slot{});
  mask_ = size - 1;
  for (std::size_t i = 0; i < addresses_.size(); ++i) {
    if (find(addresses_[i]) != kNone) continue;
    std::size_t s = slot_of(addresses_[i], head_of(addresses_[i]));
    while (slots_[s].index != 0) s = (s + 1) & mask_;
    slots_[s] = Slot{head_of(addresses_[i]), static_cast<std::uint32_t>(i + 1),
                     static_cast<std::uint32_t>(addresses_[i].size())};
  }
}

std::size_t ProgramTable::slot_of(std::string_view address, std::uint64_t head) const {
  // Addresses are base58 text of random keys: their first and last characters
  // are spread enough that 16 of them make a good key.
  std::uint64_t tail = 0;
  const std::size_t n = address.size();
  if (n >= 16) [[likely]] {
    std::memcpy(&tail, address.data() + n - 8, 8);
  } else if (n > 8) {
    std::memcpy(&tail, address.data() + 8, n - 8);
  }
  std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
  h ^= h >> 31;
  return static_cast<std::size_t>(h) & mask_;
}

std::uint32_t ProgramTable::find(std::string_view address) const {
  const std::uint64_t head = head_of(address);
  for (std::size_t s = slot_of(address, head);; s = (s + 1) & mask_) {
    const Slot& slot = slots_[s];
    if (slot.index == 0) return kNone;
    if (slot.head == head && slot.size == address.size() &&
        std::memcmp(addresses_[slot.index - 1].data(), address.data(), address.size()) == 0) {
      return slot.index - 1;
    }
  }
}

}  // namespace brisquel::tx
