// The decoder's programs by base58 address, asked once per invoke line and per
// inner instruction: an open-addressed table over the addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brisquel::tx {

class ProgramTable {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // An address listed twice keeps its first index.
  explicit ProgramTable(std::vector<std::string> addresses);

  // The index of `address` in the list, or kNone.
  std::uint32_t find(std::string_view address) const;

 private:
  std::size_t slot_of(std::string_view address, std::uint64_t head) const;

  struct Slot {
    std::uint64_t head = 0;   // the address's first eight characters
    std::uint32_t index = 0;  // index + 1; 0 is empty
    std::uint32_t size = 0;
  };

  std::vector<std::string> addresses_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

}  // namespace brisquel::tx
