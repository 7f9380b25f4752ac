#include "codec/simd_level.hpp"

#include <algorithm>

namespace brisquel::codec {
namespace {

SimdLevel cpu_level() {
#ifdef BRISQUEL_X86_KERNELS
  __builtin_cpu_init();  // may run before the library's own constructors
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512ifma") && __builtin_cpu_supports("bmi")) {
    return SimdLevel::avx512;
  }
  if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
#endif
  return SimdLevel::portable;
}

const SimdLevel kCpuLevel = cpu_level();

}  // namespace

// Until this is initialised (by code running before it), the level reads as
// portable.
std::atomic<SimdLevel> detail::g_simd_level{kCpuLevel};

SimdLevel limit_simd_level(SimdLevel widest) {
  const SimdLevel level = std::min(widest, kCpuLevel);
  detail::g_simd_level.store(level, std::memory_order_relaxed);
  return level;
}

}  // namespace brisquel::codec
