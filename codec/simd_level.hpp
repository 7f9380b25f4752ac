// Which vector instructions the codecs may use, found once from the CPU. The
// build targets baseline x86-64, so the kernels that use more are compiled
// per function and chosen at run time.
#pragma once

#include <atomic>

// x86-64 only; elsewhere the codecs keep to their portable code.
#if defined(__x86_64__) && defined(__GNUC__)
#define BRISQUEL_X86_KERNELS 1
#endif

namespace brisquel::codec {

// Narrowest first: AVX2 for base64; AVX-512 (F, BW, VBMI and IFMA, which come
// together from Ice Lake and Zen 4 on) for base64 and base58 keys.
enum class SimdLevel { portable, avx2, avx512 };

namespace detail {
// Relaxed: a codec may run at any level, all give the same result.
extern std::atomic<SimdLevel> g_simd_level;
}  // namespace detail

// The level in use: the CPU's widest, unless capped, and at most `widest`.
// Callers that interleave the codecs with much scalar work (making Python
// objects between them) ask for AVX2 at most: on the CPUs measured, 512-bit
// instructions slow the core's clock for a while after they run, which costs
// the scalar work more than the wider kernels save.
inline SimdLevel simd_level(SimdLevel widest = SimdLevel::avx512) {
  const SimdLevel level = detail::g_simd_level.load(std::memory_order_relaxed);
  return level < widest ? level : widest;
}

// Caps the level at `widest`, so that tests cover every path on one machine;
// returns the level now in use.
SimdLevel limit_simd_level(SimdLevel widest);

}  // namespace brisquel::codec
