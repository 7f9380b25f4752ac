// Base58 (Bitcoin alphabet) of byte strings of any length: the 64-byte
// signatures of wire-format transactions, and transactions that a node sent as
// base58 text. Public keys have a faster encoder in codec/base58.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace brisquel::tx {

// Characters that the base58 text of `size` bytes can need at most.
constexpr std::size_t base58_text_capacity(std::size_t size) { return size * 138 / 100 + 1; }

// Writes the base58 text of `bytes` to `out` (room for base58_text_capacity(bytes.size()))
// and returns its length. The work grows with the square of the size: for short strings.
std::size_t encode_base58(std::span<const std::uint8_t> bytes, char* out);

// The bytes of base58 `text` (replacing `out`'s contents), or false for a character
// outside the alphabet. `scratch` is working room, kept by the caller so that a warm
// decode allocates nothing. The work grows with the square of the size: the caller bounds it.
bool decode_base58(std::string_view text, std::vector<std::uint8_t>& out, std::vector<std::uint32_t>& scratch);

}  // namespace brisquel::tx
