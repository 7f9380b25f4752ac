#include "codec/base64_kernels.hpp"

#ifdef BRISQUEL_X86_KERNELS

#include <immintrin.h>

#include <array>
#include <string_view>

// Only after the caller has checked the CPU: VBMI brings the byte permutes that
// look up all 128 ASCII characters at once and pack the output.
#define BRISQUEL_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi")))

namespace brisquel::codec::detail {
namespace {

// Each ASCII character's six-bit value, or 0x80 outside the alphabet ("="
// included: the caller decodes the only group that may hold it).
constexpr auto kValues = [] {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::array<std::uint8_t, 128> t{};
  t.fill(0x80);
  for (std::uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = i;
  return t;
}();

// Where each output byte is in the 32-bit group values: three per group,
// big-endian, packed into the low 48 bytes.
constexpr auto kGroupBytes = [] {
  std::array<std::uint8_t, 64> t{};
  for (std::uint8_t j = 0; j < 48; ++j) t[j] = static_cast<std::uint8_t>(j / 3 * 4 + 2 - j % 3);
  return t;
}();

struct Tables {
  __m512i low, high, order;
};

// The 48 bytes of 64 characters, in the low 48 bytes. The lookup only reads a
// character's low seven bits, so `seen` also takes the character: the top bit
// of a byte there is set by any character outside the alphabet.
BRISQUEL_AVX512 inline __m512i decode64(__m512i text, const Tables& t, __m512i& seen) {
  const __m512i values = _mm512_permutex2var_epi8(t.low, text, t.high);
  seen = _mm512_ternarylogic_epi32(seen, text, values, 0xFE);  // OR of all three
  const __m512i twelve = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
  const __m512i groups = _mm512_madd_epi16(twelve, _mm512_set1_epi32(0x00011000));
  return _mm512_permutexvar_epi8(t.order, groups);
}

BRISQUEL_AVX512 inline __m512i load64(const unsigned char* s) { return _mm512_loadu_si512(s); }

// Exactly 48 bytes, for where the output buffer may end right after them.
BRISQUEL_AVX512 inline void store48(std::uint8_t* out, __m512i bytes) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_castsi512_si256(bytes));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm512_extracti32x4_epi32(bytes, 2));
}

}  // namespace

// Laid out as the AVX2 kernel: whole windows, the last one possibly
// overlapping the one before, its last group replaced by "AAAA".
BRISQUEL_AVX512 bool decode_base64_groups_avx512(const unsigned char* s, std::size_t n, std::uint8_t* out) {
  const Tables t{load64(kValues.data()), load64(kValues.data() + 64), load64(kGroupBytes.data())};
  __m512i seen = _mm512_setzero_si512();
  std::size_t i = 0;
  // A full 64-byte store where its 16 spare bytes land on later output.
  for (; i + 88 <= n; i += 64) _mm512_storeu_si512(out + i / 4 * 3, decode64(load64(s + i), t, seen));
  if (i + 64 < n) store48(out + i / 4 * 3, decode64(load64(s + i), t, seen));
  const __m512i last = _mm512_mask_blend_epi8(0xFull << 60, load64(s + n - 64), _mm512_set1_epi8('A'));
  store48(out + (n - 64) / 4 * 3, decode64(last, t, seen));
  return _mm512_movepi8_mask(seen) == 0;
}

}  // namespace brisquel::codec::detail

#endif  // BRISQUEL_X86_KERNELS
