#include "codec/base64_kernels.hpp"

#ifdef BRISQUEL_X86_KERNELS

#include <immintrin.h>

#include <cstring>

// Only after the caller has checked the CPU.
#define BRISQUEL_AVX2 __attribute__((target("avx2")))

namespace brisquel::codec::detail {
namespace {

// Characters are looked up by their two nibbles. A high nibble picks one class
// bit (2: "+" "/"; 3: digits; 4, 6: letters from 1; 5, 7: letters up to A;
// none for the rest), and the low nibble's entry holds the classes in which it
// is valid, so a character is valid exactly when the two share a bit. The low
// lookup takes the raw character: one with the top bit set finds zero there.
// "=" is invalid here: the caller decodes the only group that may hold it.
BRISQUEL_AVX2 inline __m128i valid_by_low() {
  return _mm_setr_epi8(0x0A, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E,  //
                       0x0E, 0x0E, 0x0C, 0x05, 0x04, 0x04, 0x04, 0x05);
}
BRISQUEL_AVX2 inline __m128i class_by_high() {
  return _mm_setr_epi8(0, 0, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0);
}
// What to add to a valid character to get its value, by high nibble; "/"
// shares its nibble with "+" and takes the entry below it.
BRISQUEL_AVX2 inline __m128i offset_by_high() {
  return _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
}
// The three bytes of each 32-bit group value, big-endian, packed to the front.
BRISQUEL_AVX2 inline __m128i group_bytes() {
  return _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
}

// Six-bit values of 32 characters; takes into `valid` (by unsigned minimum) a
// zero byte for each character outside the alphabet.
BRISQUEL_AVX2 inline __m256i values32(__m256i text, __m256i& valid) {
  const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), _mm256_set1_epi8(0x0F));
  const __m256i allowed = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(valid_by_low()), text);
  const __m256i cls = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(class_by_high()), high);
  valid = _mm256_min_epu8(valid, _mm256_and_si256(allowed, cls));
  const __m256i slash = _mm256_cmpeq_epi8(text, _mm256_set1_epi8('/'));
  const __m256i offset = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(offset_by_high()),
                                             _mm256_add_epi8(high, slash));
  return _mm256_add_epi8(text, offset);
}

// Joins each four values into their three bytes: pairs of six bits into twelve
// by one multiply-add, pairs of those into 24 by another, then the bytes of
// each lane's four groups into its low 12 bytes.
BRISQUEL_AVX2 inline __m256i pack32(__m256i values) {
  const __m256i twelve = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
  const __m256i groups = _mm256_madd_epi16(twelve, _mm256_set1_epi32(0x00011000));
  return _mm256_shuffle_epi8(groups, _mm256_broadcastsi128_si256(group_bytes()));
}

// The 24 bytes of a window, by two 16-byte stores, the second over the first's
// four spare bytes; its own four land on the next window's output, which must
// follow and be within the buffer.
BRISQUEL_AVX2 inline void store24_overlapping(std::uint8_t* out, __m256i bytes) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(bytes, 1));
}

// Exactly 24 bytes, for where the output buffer may end right after them.
BRISQUEL_AVX2 inline void store24(std::uint8_t* out, __m256i bytes) {
  bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
}

BRISQUEL_AVX2 inline __m128i values16(__m128i text, __m128i& valid) {
  const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), _mm_set1_epi8(0x0F));
  valid = _mm_min_epu8(valid, _mm_and_si128(_mm_shuffle_epi8(valid_by_low(), text),
                                            _mm_shuffle_epi8(class_by_high(), high)));
  const __m128i slash = _mm_cmpeq_epi8(text, _mm_set1_epi8('/'));
  return _mm_add_epi8(text, _mm_shuffle_epi8(offset_by_high(), _mm_add_epi8(high, slash)));
}

// 16 characters into exactly 12 bytes at `out`.
BRISQUEL_AVX2 inline void decode16(__m128i text, __m128i& valid, std::uint8_t* out) {
  const __m128i twelve = _mm_maddubs_epi16(values16(text, valid), _mm_set1_epi32(0x01400140));
  const __m128i bytes = _mm_shuffle_epi8(_mm_madd_epi16(twelve, _mm_set1_epi32(0x00011000)), group_bytes());
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
  const auto tail = static_cast<std::uint32_t>(_mm_extract_epi32(bytes, 2));
  std::memcpy(out + 8, &tail, 4);
}

BRISQUEL_AVX2 inline __m256i load32(const unsigned char* s) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
}
BRISQUEL_AVX2 inline __m128i load16(const unsigned char* s) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
}

}  // namespace

// Whole windows from the start, then one window ending at the end of the text,
// which may overlap the one before it (groups there decode twice to the same
// bytes) and has its last group replaced by "AAAA", decoding to zeros. Loads and
// stores stay within the text and the output.
BRISQUEL_AVX2 bool decode_base64_groups_avx2(const unsigned char* s, std::size_t n, std::uint8_t* out) {
  if (n >= 32) {
    __m256i valid = _mm256_set1_epi8(-1);
    std::size_t i = 0;
    // A window whose output is followed by at least four more bytes of it.
    for (; i + 40 <= n; i += 32) store24_overlapping(out + i / 4 * 3, pack32(values32(load32(s + i), valid)));
    if (i + 32 < n) store24(out + i / 4 * 3, pack32(values32(load32(s + i), valid)));
    const __m256i last = _mm256_blend_epi32(load32(s + n - 32), _mm256_set1_epi8('A'), 0x80);
    store24(out + (n - 32) / 4 * 3, pack32(values32(last, valid)));
    return _mm256_testz_si256(_mm256_cmpeq_epi8(valid, _mm256_setzero_si256()), _mm256_set1_epi8(-1));
  }
  __m128i valid = _mm_set1_epi8(-1);
  if (n > 16) decode16(load16(s), valid, out);
  decode16(_mm_blend_epi16(load16(s + n - 16), _mm_set1_epi8('A'), 0xC0), valid, out + (n - 16) / 4 * 3);
  return _mm_testz_si128(_mm_cmpeq_epi8(valid, _mm_setzero_si128()), _mm_set1_epi8(-1));
}

}  // namespace brisquel::codec::detail

#endif  // BRISQUEL_X86_KERNELS
