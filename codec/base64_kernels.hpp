// The vectorised kernels behind strict base64 decoding. base64.cpp chooses one
// at run time by what the CPU has, and decodes the last group itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/simd_level.hpp"

namespace brisquel::codec::detail {

// Smallest texts the kernels take: one window of 16 or 64 characters.
inline constexpr std::size_t kAvx2MinText = 16;
inline constexpr std::size_t kAvx512MinText = 64;

#ifdef BRISQUEL_X86_KERNELS
// Both decode every group of the `n` characters at `s` but the last into
// `out`, and return false if any of them holds a character outside the
// alphabet ("=" included). They need n % 4 == 0, n at least their minimum and
// a CPU at SimdLevel::avx2 or avx512. They read only s[0, n) and write
// only out[0, n / 4 * 3), the last three of them as zeros, for the caller to
// overwrite with the decoded last group.
bool decode_base64_groups_avx2(const unsigned char* s, std::size_t n, std::uint8_t* out);
bool decode_base64_groups_avx512(const unsigned char* s, std::size_t n, std::uint8_t* out);
#endif

}  // namespace brisquel::codec::detail
