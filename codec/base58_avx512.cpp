#include "codec/base58_kernels.hpp"

#ifdef BRISQUEL_X86_KERNELS

#include <immintrin.h>

#include <array>
#include <bit>

// Only after the caller has checked the CPU. IFMA multiplies 52-bit lanes to
// 104 bits and adds either half to a 64-bit lane, in one instruction.
#define BRISQUEL_AVX512 __attribute__((target("avx2,bmi,avx512f,avx512bw,avx512vbmi,avx512ifma")))

// The input (a key or a signature) is read as 16-bit chunks, and one table
// product, a multiply-add per chunk and vector of eight limbs, turns them into
// limbs of base 58^4, each below 2^45 and so below the square of the base.
// Then, for all limbs at once: one carry step leaves each below twice the
// base, the carries left (0 or 1) are found as in binary addition, each limb
// becomes two pairs of digits and each pair two digits, each digit a
// character. Every division is a multiply-high by a rounded-up reciprocal,
// exact over the values it gets. The scalar conversion carries from limb to
// limb, a chain of dependent divisions this avoids.
namespace brisquel::codec::detail {
namespace {

constexpr std::uint64_t kBase = 58ull * 58 * 58 * 58;
constexpr std::uint64_t kPairBase = 58 * 58;

__extension__ typedef unsigned __int128 Wide;

// floor(x / d) is the high part of x * ceil(2^(52 + s) / d), shifted right by
// s, while x times the reciprocal's excess stays below 2^(52 + s).
struct Reciprocal {
  std::uint64_t multiplier;
  int shift;
};

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

// The layout for `kBytes` bytes: 16-bit chunks, and limbs in vectors of eight.
template <int kBytes>
struct Layout {
  static_assert(kBytes == 32 || kBytes == 64);
  static constexpr int kChunks = kBytes / 2;
  static constexpr int kVectors = kBytes == 32 ? 2 : 3;
  static constexpr int kLimbs = 8 * kVectors;
  // Limbs the number can have: log2(58^4) > 23.43.
  static constexpr int kUsedLimbs = (kBytes * 8 * 100 + 2342) / 2343;

  // powers[k][j]: limb j of 2^(16k), least significant first.
  static consteval std::array<std::array<std::uint64_t, kLimbs>, kChunks> make_powers() {
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
  alignas(64) static constexpr auto kPowers = make_powers();

  // The first chunk that adds to each vector of limbs.
  static consteval std::array<int, kVectors> first_chunks() {
    std::array<int, kVectors> first{};
    for (int v = 0; v < kVectors; ++v) {
      first[v] = kChunks;
      for (int k = kChunks - 1; k >= 0; --k) {
        for (int j = 8 * v; j < 8 * v + 8; ++j) first[v] = kPowers[k][j] != 0 ? k : first[v];
      }
    }
    return first;
  }
  static constexpr auto kFirstChunk = first_chunks();

  // The largest value a limb's products can sum to, every chunk 0xFFFF.
  static consteval std::uint64_t largest_sum() {
    std::uint64_t most = 0;
    for (int j = 0; j < kLimbs; ++j) {
      std::uint64_t sum = 0;
      for (int k = 0; k < kChunks; ++k) sum += 0xFFFF * kPowers[k][j];
      most = sum > most ? sum : most;
    }
    return most;
  }
  static constexpr std::uint64_t kLargestSum = largest_sum();
  static constexpr Reciprocal kByBase = reciprocal(kBase, kLargestSum);

  // A limb plus the carry it takes stays below twice the base, every input to
  // a 52-bit multiply fits, and the limbs above the number's stay zero, so the
  // top one never has a carry to pass on.
  static consteval bool holds() {
    for (int k = 0; k < kChunks; ++k) {
      for (int j = kUsedLimbs; j < kLimbs; ++j) {
        if (kPowers[k][j] != 0) return false;
      }
    }
    return kUsedLimbs < kLimbs && kLargestSum < kBase * (kBase - 1) && kLargestSum < (1ull << 52);
  }
  static_assert(holds());
};

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

// Swaps the bytes of each 16-bit word: the input is big-endian.
alignas(32) constexpr auto kSwapPairs = [] {
  std::array<std::uint8_t, 32> t{};
  for (std::uint8_t i = 0; i < 32; ++i) t[i] = i ^ 1;
  return t;
}();

// Output lane i (32 bits: four digits) of sixteen limbs, most significant
// first, from the low 32 bits of the 64-bit lanes of the lower eight (indices
// 0-15) and the upper eight (16-31).
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

// The 64 characters of sixteen limbs, the upper eight first. Each 16-bit pair
// value t * 58 + u becomes the bytes t, u, then characters.
BRISQUEL_AVX512 inline __m512i characters(__m512i lower, __m512i upper) {
  const __m512i pairs =
      _mm512_permutex2var_epi32(digit_pairs(lower), _mm512_load_si512(kLimbOrder.data()), digit_pairs(upper));
  __m512i fifty_eight = _mm512_set1_epi16(58);
  asm("" : "+v"(fifty_eight));  // one multiply, which GCC would turn into six shifts and adds
  const __m512i first = _mm512_mulhi_epu16(pairs, _mm512_set1_epi16(1130));
  const __m512i second = _mm512_sub_epi16(pairs, _mm512_mullo_epi16(first, fifty_eight));
  const __m512i values = _mm512_or_si512(first, _mm512_slli_epi16(second, 8));
  return _mm512_permutexvar_epi8(values, _mm512_load_si512(kAlphabet.data()));
}

// Iota, the byte indexes of a vector.
alignas(64) constexpr auto kIota = [] {
  std::array<std::uint8_t, 64> t{};
  for (int i = 0; i < 64; ++i) t[i] = static_cast<std::uint8_t>(i);
  return t;
}();

// kExact: write the text itself at `digits` (only its bytes) and return its
// length, rather than the full width and where the text starts. A caller that
// copies the text out of a full-width store reads across the store's halves
// right after it, which stalls the load until the store has gone; writing the
// text in place costs one byte shuffle instead.
template <int kBytes, bool kExact = false>
BRISQUEL_AVX512 inline std::size_t encode(const std::uint8_t* bytes, char* digits) {
  static_assert(!kExact || kBytes == 32);
  using L = Layout<kBytes>;
  constexpr int kHalves = kBytes / 32;
  alignas(64) std::uint64_t chunks[L::kChunks];  // most significant first
  const __m256i swap = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSwapPairs.data()));
  std::uint64_t zero_bytes = 0;
  for (int h = 0; h < kHalves; ++h) {
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32 * h));
    const auto zeros = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(raw, _mm256_setzero_si256())));
    zero_bytes |= std::uint64_t{zeros} << (32 * h);
    const __m256i words = _mm256_shuffle_epi8(raw, swap);
    _mm512_store_si512(chunks + 16 * h, _mm512_cvtepu16_epi64(_mm256_castsi256_si128(words)));
    _mm512_store_si512(chunks + 16 * h + 8, _mm512_cvtepu16_epi64(_mm256_extracti128_si256(words, 1)));
  }
  asm("" : "+m"(chunks));  // broadcast each chunk by a load, which costs no shuffle

  // Four sums for the lowest limbs, which every chunk feeds, to shorten the chain.
  __m512i low[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
  __m512i limbs[L::kVectors];
  for (auto& v : limbs) v = _mm512_setzero_si512();
#pragma GCC unroll 32
  for (int k = 0; k < L::kChunks; ++k) {
    const __m512i chunk = _mm512_set1_epi64(static_cast<long long>(chunks[L::kChunks - 1 - k]));
    low[k % 4] = _mm512_madd52lo_epu64(low[k % 4], chunk, _mm512_load_si512(L::kPowers[k].data()));
#pragma GCC unroll 3
    for (int v = 1; v < L::kVectors; ++v) {
      if (k >= L::kFirstChunk[v]) {
        limbs[v] = _mm512_madd52lo_epu64(limbs[v], chunk, _mm512_load_si512(L::kPowers[k].data() + 8 * v));
      }
    }
  }
  limbs[0] = _mm512_add_epi64(_mm512_add_epi64(low[0], low[1]), _mm512_add_epi64(low[2], low[3]));

  // Each limb keeps its remainder and takes the quotient of the limb below.
  __m512i below = _mm512_setzero_si512();
#pragma GCC unroll 3
  for (auto& v : limbs) {
    const __m512i q = _mm512_srli_epi64(mul_high(v, L::kByBase.multiplier), L::kByBase.shift);
    v = _mm512_add_epi64(_mm512_sub_epi64(v, mul_low(q, kBase)), _mm512_alignr_epi64(q, below, 7));
    below = q;
  }

  // The carries left: a limb passes one on when it is at least the base, or
  // when it is one below and receives one. Bit j stands for limb j.
  const __m512i base = _mm512_set1_epi64(kBase);
  const __m512i base_less_one = _mm512_set1_epi64(kBase - 1);
  std::uint32_t generate = 0, propagate = 0;
  for (int v = 0; v < L::kVectors; ++v) {
    generate |= std::uint32_t{_mm512_cmpge_epu64_mask(limbs[v], base)} << (8 * v);
    propagate |= std::uint32_t{_mm512_cmpeq_epu64_mask(limbs[v], base_less_one)} << (8 * v);
  }
  const std::uint32_t received = ((generate << 1) + propagate) ^ propagate;
  const std::uint32_t passed = received >> 1;
  const __m512i one = _mm512_set1_epi64(1);
  for (int v = 0; v < L::kVectors; ++v) {
    limbs[v] = _mm512_mask_add_epi64(limbs[v], static_cast<__mmask8>(received >> (8 * v)), limbs[v], one);
    limbs[v] = _mm512_mask_sub_epi64(limbs[v], static_cast<__mmask8>(passed >> (8 * v)), limbs[v], base);
  }

  // Characters, most significant first: sixteen limbs, then for signatures
  // the lowest eight, in the first half of a second vector.
  const __m512i ones_char = _mm512_set1_epi8('1');
  const __m512i text = characters(limbs[L::kVectors - 2], limbs[L::kVectors - 1]);
  std::uint64_t ones = _mm512_cmpeq_epi8_mask(text, ones_char);
  int leading = std::countr_one(ones);
  if constexpr (kExact) {
    // At most 44 characters: a number below 2^256 has at most 44 digits, and
    // "1"s for leading zero bytes stand where zero digits were.
    const auto start = static_cast<std::size_t>(leading - std::countr_one(zero_bytes));
    const __m512i from = _mm512_add_epi8(_mm512_load_si512(kIota.data()), _mm512_set1_epi8(static_cast<char>(start)));
    const std::size_t length = 64 - start;
    _mm512_mask_storeu_epi8(digits, (std::uint64_t{1} << length) - 1, _mm512_permutexvar_epi8(from, text));
    return length;
  }
  _mm512_storeu_si512(digits, text);
  if constexpr (L::kVectors == 3) {
    const __m256i rest = _mm512_castsi512_si256(characters(_mm512_setzero_si512(), limbs[0]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(digits + 64), rest);
    ones = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(rest, _mm512_castsi512_si256(ones_char))));
    if (leading == 64) leading += std::countr_one(ones);
  }
  return static_cast<std::size_t>(leading - std::countr_one(zero_bytes));
}

static_assert(kPubkeyAvx512Digits == 4 * Layout<32>::kLimbs && kSignatureAvx512Digits == 4 * Layout<64>::kLimbs);

}  // namespace

BRISQUEL_AVX512 std::size_t encode_base58_pubkey_avx512(const std::uint8_t* key, char* digits) {
  return encode<32>(key, digits);
}

BRISQUEL_AVX512 std::size_t write_base58_pubkey_avx512(const std::uint8_t* key, char* text) {
  return encode<32, true>(key, text);
}

BRISQUEL_AVX512 std::size_t encode_base58_signature_avx512(const std::uint8_t* signature, char* digits) {
  return encode<64>(signature, digits);
}

}  // namespace brisquel::codec::detail

#endif  // BRISQUEL_X86_KERNELS
