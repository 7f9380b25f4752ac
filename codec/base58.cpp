#include "codec/base58.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "codec/base58_kernels.hpp"
#include "codec/simd_level.hpp"

namespace brisquel::codec {
namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Keys and signatures have fixed widths. They are read as big-endian words of
// 32 bits and converted to limbs of base 58^4 by one table product: each
// output limb is a sum of one product per word, each below 2^32 * 58^4 <
// 2^55.5, so even the 16 of a signature cannot overflow, and only the final
// carry pass divides. A limb below 58^4 is two table pairs of digits. Where
// the CPU allows, both take the vectorised form of this in base58_avx512.cpp,
// which does the carry pass for all limbs at once.
constexpr std::uint64_t kLimbBase = 58ull * 58 * 58 * 58;
constexpr int kDigitsPerLimb = 4;

// Limbs enough for any value of `bytes` bytes: log2(58^4) > 23.4319.
consteval int out_limbs(std::size_t bytes) { return static_cast<int>((bytes * 8 * 10000 + 234318) / 234319); }

// t[k][j]: limb j (least significant first) of 2^(32k) in base 58^4.
template <int kInLimbs, int kOutLimbs>
consteval std::array<std::array<std::uint32_t, kOutLimbs>, kInLimbs> make_powers() {
  std::array<std::array<std::uint32_t, kOutLimbs>, kInLimbs> t{};
  std::array<std::uint64_t, kOutLimbs> v{};
  v[0] = 1;
  for (int k = 0; k < kInLimbs; ++k) {
    for (int j = 0; j < kOutLimbs; ++j) t[k][j] = static_cast<std::uint32_t>(v[j]);
    std::uint64_t carry = 0;
    for (int j = 0; j < kOutLimbs; ++j) {
      const std::uint64_t x = (v[j] << 32) + carry;
      v[j] = x % kLimbBase;
      carry = x / kLimbBase;
    }
  }
  return t;
}

// Two base58 digits for each value below 58^2.
consteval std::array<std::array<char, 2>, 58 * 58> make_pairs() {
  std::array<std::array<char, 2>, 58 * 58> t{};
  for (int i = 0; i < 58 * 58; ++i) t[i] = {kAlphabet[i / 58], kAlphabet[i % 58]};
  return t;
}

constexpr auto kPairs = make_pairs();

// The general decoder reads ten digits per step into base 2^64 limbs: 58^10 <
// 2^59, so a limb times 58^10 plus the carry fits 128 bits, and the step needs
// no division.
__extension__ typedef unsigned __int128 Wide;
constexpr int kDigitsPerStep = 10;
constexpr std::uint64_t kStepBase = 430804206899405824ull;  // 58^10
// log2(58) < 5.858 bits per digit, plus a limb of slack.
constexpr std::size_t kMaxDecodeLimbs = (kBase58MaxText * 5858 / 1000 + 63) / 64 + 1;

// A digit's value, or -1 for a character outside the alphabet.
consteval std::array<std::int8_t, 256> make_digit_values() {
  std::array<std::int8_t, 256> t{};
  t.fill(-1);
  for (int i = 0; i < 58; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}

constexpr auto kDigitValues = make_digit_values();

// The value of `count` digits at `s`; false when one is not a digit. An
// invalid digit only taints `value`, which is then dropped.
inline bool read_digits(const unsigned char* s, std::size_t count, std::uint64_t& value) {
  std::uint64_t v = 0;
  int bad = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int d = kDigitValues[s[i]];
    bad |= d;
    v = v * 58 + static_cast<std::uint64_t>(d);
  }
  value = v;
  return bad >= 0;
}

// Other widths work in limbs of base 58^5 fed 32-bit words: a limb shifted by
// 32 bits plus the carry stays below 2^62, and dividing by a constant compiles
// to a multiplication.
constexpr std::uint64_t kEncodeBase = 656356768ull;  // 58^5
constexpr int kEncodeDigits = 5;
// 8 / log2(58^5) < 0.2732 limbs per byte, plus slack.
constexpr std::size_t kMaxEncodeLimbs = kBase58MaxBytes * 2732 / 10000 + 2;

// The base58 text of `kBytes` bytes, written into the kDigits digits at `digits`;
// returns where the text starts.
template <std::size_t kBytes>
struct FixedWidth {
  static constexpr int kInLimbs = kBytes / 4;
  static constexpr int kOutLimbs = out_limbs(kBytes);
  static constexpr std::size_t kDigits = kOutLimbs * kDigitsPerLimb;
  static constexpr auto kPowers = make_powers<kInLimbs, kOutLimbs>();

  static std::size_t encode(const std::uint8_t* bytes, char* digits) {
    std::size_t zeros = 0;
    while (zeros < kBytes && bytes[zeros] == 0) ++zeros;

    // Words least significant first: the last four bytes form word 0.
    std::uint32_t in[kInLimbs];
    for (int k = 0; k < kInLimbs; ++k) {
      std::uint32_t word;
      std::memcpy(&word, bytes + kBytes - 4 - 4 * k, 4);
      in[k] = std::byteswap(word);
    }

    // Fully unrolled, the table's many zero entries (small powers have few
    // limbs) drop out and the rest become immediate operands.
    std::uint64_t acc[kOutLimbs] = {};
#pragma GCC unroll 32
    for (int k = 0; k < kInLimbs; ++k) {
#pragma GCC unroll 32
      for (int j = 0; j < kOutLimbs; ++j) acc[j] += std::uint64_t{in[k]} * kPowers[k][j];
    }
#pragma GCC unroll 32
    for (int j = 0; j + 1 < kOutLimbs; ++j) {
      acc[j + 1] += acc[j] / kLimbBase;
      acc[j] %= kLimbBase;
    }

    // All digits, most significant first.
#pragma GCC unroll 32
    for (int j = 0; j < kOutLimbs; ++j) {
      const auto v = static_cast<std::uint32_t>(acc[j]);  // below 58^4
      char* d = digits + (kOutLimbs - 1 - j) * kDigitsPerLimb;
      std::memcpy(d, kPairs[v / (58 * 58)].data(), 2);
      std::memcpy(d + 2, kPairs[v % (58 * 58)].data(), 2);
    }
    // The text is the number's digits after one "1" per leading zero byte.
    // The full-width form always starts with at least that many "1"s (zero
    // digits), so the text is a suffix of it.
    std::size_t skip = 0;
    while (skip < kDigits && digits[skip] == '1') ++skip;
    return skip - zeros;
  }
};

using PubkeyWidth = FixedWidth<32>;
using SignatureWidth = FixedWidth<64>;
static_assert(sizeof(Base58Buffer::digits) >= PubkeyWidth::kDigits);
static_assert(sizeof(Base58Buffer::digits) >= detail::kPubkeyAvx512Digits);
static_assert(detail::kSignatureAvx512Digits >= SignatureWidth::kDigits);

}  // namespace

std::string_view encode_base58_pubkey(std::span<const std::uint8_t, 32> key, Base58Buffer& buffer,
                                      SimdLevel widest) {
  // One return for both paths keeps the portable one as fast as it was alone.
  std::size_t start, width;
#ifdef BRISQUEL_X86_KERNELS
  if (simd_level(widest) == SimdLevel::avx512) {
    start = detail::encode_base58_pubkey_avx512(key.data(), buffer.digits);
    width = detail::kPubkeyAvx512Digits;
  } else
#endif
  {
    start = PubkeyWidth::encode(key.data(), buffer.digits);
    width = PubkeyWidth::kDigits;
  }
  return std::string_view(buffer.digits + start, width - start);
}

std::size_t write_base58_pubkey(std::span<const std::uint8_t, 32> key, char* out, SimdLevel widest) {
#ifdef BRISQUEL_X86_KERNELS
  if (simd_level(widest) == SimdLevel::avx512) return detail::write_base58_pubkey_avx512(key.data(), out);
#endif
  Base58Buffer buffer;
  const std::string_view text = encode_base58_pubkey(key, buffer, widest);
  std::memcpy(out, text.data(), text.size());
  return text.size();
}

std::optional<std::size_t> decode_base58(std::string_view text, std::uint8_t* out) {
  const std::size_t n = text.size();
  if (n > kBase58MaxText) return std::nullopt;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t zeros = 0;
  while (zeros < n && s[zeros] == '1') ++zeros;

  std::uint64_t limbs[kMaxDecodeLimbs];  // least significant first; the top one is never zero
  std::size_t used = 0;
  std::size_t i = zeros;
  if (i < n) {
    // A short first step leaves whole steps after it; it starts the number, so
    // it needs no multiplication.
    const std::size_t first = (n - i) % kDigitsPerStep == 0 ? kDigitsPerStep : (n - i) % kDigitsPerStep;
    if (!read_digits(s + i, first, limbs[0])) return std::nullopt;
    used = 1;
    i += first;
  }
  for (; i < n; i += kDigitsPerStep) {
    std::uint64_t carry;
    if (!read_digits(s + i, kDigitsPerStep, carry)) return std::nullopt;
    for (std::size_t j = 0; j < used; ++j) {
      const Wide t = static_cast<Wide>(limbs[j]) * kStepBase + carry;
      limbs[j] = static_cast<std::uint64_t>(t);
      carry = static_cast<std::uint64_t>(t >> 64);
    }
    if (carry != 0) limbs[used++] = carry;
  }

  if (zeros != 0) std::memset(out, 0, zeros);
  std::uint8_t* o = out + zeros;
  if (used > 0) {
    const std::uint64_t top = limbs[used - 1];
    const int top_bytes = (64 - std::countl_zero(top) + 7) / 8;
    for (int b = top_bytes - 1; b >= 0; --b) *o++ = static_cast<std::uint8_t>(top >> (8 * b));
    for (std::size_t j = used - 1; j-- > 0;) {
      for (int b = 7; b >= 0; --b) *o++ = static_cast<std::uint8_t>(limbs[j] >> (8 * b));
    }
  }
  return static_cast<std::size_t>(o - out);
}

std::optional<std::size_t> encode_base58(std::span<const std::uint8_t> bytes, char* out) {
  const std::size_t n = bytes.size();
  if (n > kBase58MaxBytes) return std::nullopt;
  if (n == 32) {
    Base58Buffer buffer;
    const std::string_view text = encode_base58_pubkey(bytes.first<32>(), buffer);
    std::memcpy(out, text.data(), text.size());
    return text.size();
  }
  if (n == 64) {
    char digits[detail::kSignatureAvx512Digits];
    std::size_t start, width;
#ifdef BRISQUEL_X86_KERNELS
    if (simd_level() == SimdLevel::avx512) {
      start = detail::encode_base58_signature_avx512(bytes.data(), digits);
      width = detail::kSignatureAvx512Digits;
    } else
#endif
    {
      start = SignatureWidth::encode(bytes.data(), digits);
      width = SignatureWidth::kDigits;
    }
    std::memcpy(out, digits + start, width - start);
    return width - start;
  }
  std::size_t zeros = 0;
  while (zeros < n && bytes[zeros] == 0) ++zeros;

  std::uint32_t limbs[kMaxEncodeLimbs];  // least significant first; the top one is never zero
  std::size_t used = 0;
  for (std::size_t i = zeros; i < n;) {
    // A short first word leaves whole words after it.
    const std::size_t take = i == zeros && (n - i) % 4 != 0 ? (n - i) % 4 : 4;
    std::uint64_t carry = 0;
    for (std::size_t k = 0; k < take; ++k) carry = carry << 8 | bytes[i + k];
    const int shift = static_cast<int>(8 * take);
    for (std::size_t j = 0; j < used; ++j) {
      const std::uint64_t t = (std::uint64_t{limbs[j]} << shift) + carry;
      limbs[j] = static_cast<std::uint32_t>(t % kEncodeBase);
      carry = t / kEncodeBase;
    }
    while (carry != 0) {
      limbs[used++] = static_cast<std::uint32_t>(carry % kEncodeBase);
      carry /= kEncodeBase;
    }
    i += take;
  }

  char* o = out;
  if (zeros != 0) std::memset(o, '1', zeros);
  o += zeros;
  if (used > 0) {
    // The top limb without its leading zero digits, the others in full.
    char top[kEncodeDigits];
    int k = 0;
    for (std::uint32_t v = limbs[used - 1]; v != 0; v /= 58) top[k++] = kAlphabet[v % 58];
    while (k > 0) *o++ = top[--k];
    for (std::size_t j = used - 1; j-- > 0;) {
      std::uint32_t v = limbs[j];
      for (int d = kEncodeDigits - 1; d >= 0; --d, v /= 58) o[d] = kAlphabet[v % 58];
      o += kEncodeDigits;
    }
  }
  return static_cast<std::size_t>(o - out);
}

namespace {

// Decoded sizes whose range ends are computed: room for the data of events,
// and a bounded amount of work and memory (a few MB) at worst.
constexpr std::size_t kPrefixMaxSize = 2048;

// By length, then as text: the order of the numbers of canonical texts.
int compare_texts(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

}  // namespace

Base58Prefix::Base58Prefix(std::span<const std::uint8_t> prefix)
    : prefix_(prefix.begin(), prefix.end()), ends_(new std::atomic<const Ends*>[kPrefixMaxSize + 1]) {
  for (std::size_t i = 0; i <= kPrefixMaxSize; ++i) ends_[i].store(nullptr, std::memory_order_relaxed);
}

Base58Prefix::~Base58Prefix() {
  for (std::size_t i = 0; i <= kPrefixMaxSize; ++i) delete ends_[i].load(std::memory_order_relaxed);
}

const Base58Prefix::Ends* Base58Prefix::ends(std::size_t size) const {
  if (size < prefix_.size() || size > kPrefixMaxSize) return nullptr;
  std::atomic<const Ends*>& slot = ends_[size];
  if (const Ends* e = slot.load(std::memory_order_acquire)) return e;
  auto computed = std::make_unique<Ends>();
  std::vector<std::uint8_t> bytes(size, 0);
  std::copy(prefix_.begin(), prefix_.end(), bytes.begin());
  auto text_of = [&] {
    std::string out(base58_encoded_capacity(bytes.size()), '\0');
    out.resize(*encode_base58(bytes, out.data()));
    return out;
  };
  computed->low = text_of();
  // prefix + 1, carried; all 0xff becomes 1 then zeros, a byte longer.
  std::size_t i = prefix_.size();
  while (i > 0 && bytes[i - 1] == 0xff) bytes[--i] = 0;
  if (i > 0) {
    ++bytes[i - 1];
  } else {
    bytes.insert(bytes.begin(), 1);
  }
  computed->high = text_of();
  // Two threads may compute the same ends: the first to store them wins.
  const Ends* expected = nullptr;
  if (slot.compare_exchange_strong(expected, computed.get(), std::memory_order_acq_rel)) return computed.release();
  return expected;
}

namespace {

// Whether every character of `text` is a base58 digit. The texts checked are
// mostly events' data, hundreds of characters: sixteen at a time (SSE2 is
// there on every x86-64), against the alphabet's six ranges.
bool all_digits(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
#ifdef __SSE2__
  // Signed compares: bytes from 0x80 up are negative, outside every range.
  auto in = [](__m128i c, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(high + 1))));
  };
  for (; i + 16 <= n; i += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i ok = _mm_or_si128(_mm_or_si128(_mm_or_si128(in(c, '1', '9'), in(c, 'A', 'H')),
                                                 _mm_or_si128(in(c, 'J', 'N'), in(c, 'P', 'Z'))),
                                    _mm_or_si128(in(c, 'a', 'k'), in(c, 'm', 'z')));
    if (_mm_movemask_epi8(ok) != 0xFFFF) return false;
  }
#endif
  int bad = 0;
  for (; i < n; ++i) bad |= kDigitValues[s[i]];
  return bad >= 0;
}

}  // namespace

std::optional<bool> Base58Prefix::starts(std::string_view text) const {
  const std::size_t n = text.size();
  if (n == 0 || text[0] == '1' || prefix_.empty() || prefix_[0] == 0) return std::nullopt;
  if (!all_digits(text)) return std::nullopt;
  // n digits without a leading zero hold a number of 58^(n-1) to 58^n, whose
  // bytes number within these (log 58 / log 256 is 0.73224 to 5 places).
  const std::size_t low_size = (n - 1) * 73220 / 100000;
  const std::size_t high_size = n * 73230 / 100000 + 1;
  for (std::size_t size = std::max(low_size, prefix_.size()); size <= high_size; ++size) {
    const Ends* e = ends(size);
    if (e == nullptr) return std::nullopt;
    if (compare_texts(text, e->low) >= 0 && compare_texts(text, e->high) < 0) return true;
  }
  return false;
}

}  // namespace brisquel::codec
