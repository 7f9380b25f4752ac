// The vectorised kernels behind base58 keys and signatures; base58.cpp
// chooses them at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/simd_level.hpp"

namespace brisquel::codec::detail {

// Digits the kernels write: sixteen limbs of four for a key (below 58^44), and
// twenty-four for a signature (below 58^88).
inline constexpr std::size_t kPubkeyAvx512Digits = 64;
inline constexpr std::size_t kSignatureAvx512Digits = 96;

#ifdef BRISQUEL_X86_KERNELS
// Write the full-width base58 form of the 32 or 64 bytes at `key` or
// `signature` (zero digits, "1", on the left) to `digits`, and return where the
// text starts: after all leading "1"s but one per leading zero byte. Need a
// CPU at SimdLevel::avx512.
std::size_t encode_base58_pubkey_avx512(const std::uint8_t* key, char* digits);
std::size_t encode_base58_signature_avx512(const std::uint8_t* signature, char* digits);
// Writes only the key's text (32 to 44 characters) at `text` and returns its length.
std::size_t write_base58_pubkey_avx512(const std::uint8_t* key, char* text);
#endif

}  // namespace brisquel::codec::detail
