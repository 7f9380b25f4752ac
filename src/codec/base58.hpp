// Base58 (Bitcoin alphabet) text of 32-byte public keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brisquel::codec {

// Longest base58 text of 32 bytes.
inline constexpr std::size_t kPubkeyBase58Max = 44;

// Writes the base58 text of `key` to `out` and returns its length (32 to 44).
std::size_t encode_base58_pubkey(std::span<const std::uint8_t, 32> key, char* out);

}  // namespace brisquel::codec
