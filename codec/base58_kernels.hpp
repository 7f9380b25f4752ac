// The vectorised kernel behind base58 keys; base58.cpp chooses it at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/simd_level.hpp"

namespace brisquel::codec::detail {

// Digits the kernel writes: sixteen limbs of four, the top four limbs always
// zero, as the number is below 58^44.
inline constexpr std::size_t kPubkeyAvx512Digits = 64;

#ifdef BRISQUEL_X86_KERNELS
// Writes the 64-digit base58 form of the 32 bytes at `key` (zero digits, "1",
// on the left) to `digits`, and returns where the text starts: after all
// leading "1"s but one per leading zero byte. Needs a CPU at SimdLevel::avx512.
std::size_t encode_base58_pubkey_avx512(const std::uint8_t* key, char* digits);
#endif

}  // namespace brisquel::codec::detail
