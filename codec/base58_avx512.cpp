#include "codec/base58_kernels.hpp"

#ifdef BRISQUEL_X86_KERNELS

#include <immintrin.h>

#include <array>
#include <bit>

// Only after the caller has checked the CPU. IFMA multiplies 52-bit lanes to
// 104 bits and adds either half to a 64-bit lane, in one instruction.
#define BRISQUEL_AVX512 __attribute__((target("avx2,bmi,avx512f,avx512bw,avx512vbmi,avx512ifma")))

// The key is read as sixteen 16-bit chunks, and one table product, a
// multiply-add per chunk, turns them into sixteen limbs of base 58^4, each
// below 2^43 and so below the square of the base. Then, for all limbs at
// once: one carry step leaves each below twice the base, the carries left
// (0 or 1) are found as in binary addition, each limb becomes two pairs of
// digits and each pair two digits, each digit a character. Every division is
// a multiply-high by a rounded-up reciprocal, exact over the values it gets.
namespace brisquel::codec::detail {
namespace {

constexpr std::uint64_t kBase = 58ull * 58 * 58 * 58;
constexpr std::uint64_t kPairBase = 58 * 58;
constexpr int kChunks = 16;
constexpr int kLimbs = 16;  // two vectors of eight; the top four stay zero

// t[k][j]: limb j of 2^(16k), least significant first.
consteval std::array<std::array<std::uint64_t, kLimbs>, kChunks> make_powers() {
  std::array<std::array<std::uint64_t, kLimbs>, kChunks> t{};
  std::array<std::uint64_t, kLimbs> v{};
  v[0] = 1;
  for (int k = 0; k < kChunks; ++k) {
    t[k] = v;
    std::uint64_t carry = 0;
    for (int j = 0; j < kLimbs; ++j) {
      const std::uint64_t x = (v[j] << 16) + carry;
      v[j] = x % kBase;
      carry = x / kBase;
    }
  }
  return t;
}

alignas(64) constexpr auto kPowers = make_powers();

// Chunks below this one add nothing to the upper eight limbs.
constexpr int kFirstUpperChunk = 12;

// The largest value a limb's products can sum to, every chunk 0xFFFF.
consteval std::uint64_t largest_sum() {
  std::uint64_t most = 0;
  for (int j = 0; j < kLimbs; ++j) {
    std::uint64_t sum = 0;
    for (int k = 0; k < kChunks; ++k) sum += 0xFFFF * kPowers[k][j];
    most = sum > most ? sum : most;
  }
  return most;
}

consteval bool layout_holds() {
  for (int k = 0; k < kChunks; ++k) {
    for (int j = 0; j < kLimbs; ++j) {
      if (j >= 8 && k < kFirstUpperChunk && kPowers[k][j] != 0) return false;
      if (j >= 11 && kPowers[k][j] != 0) return false;  // the number is below 58^44
    }
  }
  return true;
}

constexpr std::uint64_t kLargestSum = largest_sum();
static_assert(layout_holds());
// A limb plus the carry it takes stays below twice the base, and every input
// to a 52-bit multiply fits.
static_assert(kLargestSum < kBase * (kBase - 1) && kLargestSum < (1ull << 52));

// floor(x / d) is the high part of x * ceil(2^(52 + s) / d), shifted right by
// s, while x times the reciprocal's excess stays below 2^(52 + s).
struct Reciprocal {
  std::uint64_t multiplier;
  int shift;
};

__extension__ typedef unsigned __int128 Wide;

consteval Reciprocal reciprocal(std::uint64_t d, std::uint64_t largest) {
  for (int s = 0; s < 24; ++s) {
    const Wide scale = static_cast<Wide>(1) << (52 + s);
    const Wide m = (scale + d - 1) / d;
    if (m < (1ull << 52) && static_cast<Wide>(largest) * (m * d - scale) < scale) {
      return {static_cast<std::uint64_t>(m), s};
    }
  }
  throw "no reciprocal";
}

constexpr Reciprocal kByBase = reciprocal(kBase, kLargestSum);
constexpr Reciprocal kByPair = reciprocal(kPairBase, kBase - 1);
static_assert(kByPair.shift == 0);

// A pair of digits (below 58^2) is split by a 16-bit multiply-high: 1130 / 2^16
// exceeds 1/58 by less than a pair's distance to the next multiple of 58.
static_assert(1130 * 58 - 65536 == 4 && 4 * (kPairBase - 1) < 65536);

alignas(64) constexpr auto kAlphabet = [] {
  constexpr char alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  std::array<char, 64> t{};
  for (int i = 0; i < 58; ++i) t[i] = alphabet[i];
  return t;
}();

// Swaps the bytes of each 16-bit word: the key is big-endian.
alignas(32) constexpr auto kSwapPairs = [] {
  std::array<std::uint8_t, 32> t{};
  for (std::uint8_t i = 0; i < 32; ++i) t[i] = i ^ 1;
  return t;
}();

// Output lane i (32 bits: four digits) is limb 15 - i, most significant first,
// taken from the low 32 bits of its 64-bit lane in the low limbs (indices
// 0-15) or the high ones (16-31).
alignas(64) constexpr auto kLimbOrder = [] {
  std::array<std::int32_t, 16> t{};
  for (int i = 0; i < 16; ++i) t[i] = 15 - i < 8 ? 2 * (15 - i) : 16 + 2 * (7 - i);
  return t;
}();

BRISQUEL_AVX512 inline __m512i mul_high(__m512i x, std::uint64_t m) {
  return _mm512_madd52hi_epu64(_mm512_setzero_si512(), x, _mm512_set1_epi64(static_cast<long long>(m)));
}

BRISQUEL_AVX512 inline __m512i mul_low(__m512i x, std::uint64_t m) {
  return _mm512_madd52lo_epu64(_mm512_setzero_si512(), x, _mm512_set1_epi64(static_cast<long long>(m)));
}

// Eight limbs as two pairs of digits in their low 32 bits, the upper pair first.
BRISQUEL_AVX512 inline __m512i digit_pairs(__m512i limbs) {
  const __m512i upper = mul_high(limbs, kByPair.multiplier);
  const __m512i lower = _mm512_sub_epi64(limbs, mul_low(upper, kPairBase));
  return _mm512_or_si512(upper, _mm512_slli_epi64(lower, 16));
}

}  // namespace

BRISQUEL_AVX512 std::size_t encode_base58_pubkey_avx512(const std::uint8_t* key, char* digits) {
  const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(key));
  const auto zero_bytes = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(raw, _mm256_setzero_si256())));
  const __m256i words = _mm256_shuffle_epi8(raw, _mm256_load_si256(reinterpret_cast<const __m256i*>(kSwapPairs.data())));
  alignas(64) std::uint64_t chunks[kChunks];  // most significant first
  _mm512_store_si512(chunks, _mm512_cvtepu16_epi64(_mm256_castsi256_si128(words)));
  _mm512_store_si512(chunks + 8, _mm512_cvtepu16_epi64(_mm256_extracti128_si256(words, 1)));
  asm("" : "+m"(chunks));  // broadcast each chunk by a load, which costs no shuffle

  // Four sums for the low limbs, which every chunk feeds, to shorten the chain.
  __m512i low[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
  __m512i high = _mm512_setzero_si512();
#pragma GCC unroll 16
  for (int k = 0; k < kChunks; ++k) {
    const __m512i chunk = _mm512_set1_epi64(static_cast<long long>(chunks[kChunks - 1 - k]));
    low[k % 4] = _mm512_madd52lo_epu64(low[k % 4], chunk, _mm512_load_si512(kPowers[k].data()));
    if (k >= kFirstUpperChunk) high = _mm512_madd52lo_epu64(high, chunk, _mm512_load_si512(kPowers[k].data() + 8));
  }
  __m512i lo = _mm512_add_epi64(_mm512_add_epi64(low[0], low[1]), _mm512_add_epi64(low[2], low[3]));
  __m512i hi = high;

  // Each limb keeps its remainder and takes the quotient of the limb below.
  const __m512i q_lo = _mm512_srli_epi64(mul_high(lo, kByBase.multiplier), kByBase.shift);
  const __m512i q_hi = _mm512_srli_epi64(mul_high(hi, kByBase.multiplier), kByBase.shift);
  lo = _mm512_add_epi64(_mm512_sub_epi64(lo, mul_low(q_lo, kBase)), _mm512_alignr_epi64(q_lo, _mm512_setzero_si512(), 7));
  hi = _mm512_add_epi64(_mm512_sub_epi64(hi, mul_low(q_hi, kBase)), _mm512_alignr_epi64(q_hi, q_lo, 7));

  // The carries left: a limb passes one on when it is at least the base, or
  // when it is one below and receives one. Bit j stands for limb j.
  const __m512i base = _mm512_set1_epi64(kBase);
  const __m512i below = _mm512_set1_epi64(kBase - 1);
  const unsigned generate = _mm512_cmpge_epu64_mask(lo, base) | _mm512_cmpge_epu64_mask(hi, base) << 8;
  const unsigned propagate = _mm512_cmpeq_epu64_mask(lo, below) | _mm512_cmpeq_epu64_mask(hi, below) << 8;
  const unsigned received = ((generate << 1) + propagate) ^ propagate;
  const unsigned passed = received >> 1;
  const __m512i one = _mm512_set1_epi64(1);
  lo = _mm512_mask_add_epi64(lo, static_cast<__mmask8>(received), lo, one);
  hi = _mm512_mask_add_epi64(hi, static_cast<__mmask8>(received >> 8), hi, one);
  lo = _mm512_mask_sub_epi64(lo, static_cast<__mmask8>(passed), lo, base);
  hi = _mm512_mask_sub_epi64(hi, static_cast<__mmask8>(passed >> 8), hi, base);

  // Each 16-bit pair value t * 58 + u becomes the bytes t, u, then characters.
  const __m512i pairs =
      _mm512_permutex2var_epi32(digit_pairs(lo), _mm512_load_si512(kLimbOrder.data()), digit_pairs(hi));
  __m512i fifty_eight = _mm512_set1_epi16(58);
  asm("" : "+v"(fifty_eight));  // one multiply, which GCC would turn into six shifts and adds
  const __m512i first = _mm512_mulhi_epu16(pairs, _mm512_set1_epi16(1130));
  const __m512i second = _mm512_sub_epi16(pairs, _mm512_mullo_epi16(first, fifty_eight));
  const __m512i values = _mm512_or_si512(first, _mm512_slli_epi16(second, 8));
  const __m512i text = _mm512_permutexvar_epi8(values, _mm512_load_si512(kAlphabet.data()));
  _mm512_storeu_si512(digits, text);
  const std::uint64_t ones = _mm512_cmpeq_epi8_mask(text, _mm512_set1_epi8('1'));
  return static_cast<std::size_t>(std::countr_one(ones) - std::countr_one(zero_bytes));
}

}  // namespace brisquel::codec::detail

#endif  // BRISQUEL_X86_KERNELS
