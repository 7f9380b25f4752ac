// Base58 (Bitcoin alphabet) text of 32-byte public keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace brisquel::codec {

// Room for the base58 text of a 32-byte key.
struct Base58Buffer {
  char digits[44];
};

// The base58 text of `key` (32 to 44 characters), held in `buffer`.
std::string_view encode_base58_pubkey(std::span<const std::uint8_t, 32> key, Base58Buffer& buffer);

}  // namespace brisquel::codec
