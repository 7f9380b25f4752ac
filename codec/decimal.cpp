#include "codec/decimal.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

namespace brisquel::codec {
namespace {

using u128 = unsigned __int128;

// Wide values are cut into 19-digit chunks by dividing their 64-bit limbs by
// 10^19. GCC turns a 128-bit division by a constant into a library call, so
// the division is done by multiplying with a precomputed reciprocal (Moller and
// Granlund, "Improved division by invariant integers"): 10^19 already has its
// top bit set, which is the form that method needs.
constexpr std::uint64_t kChunk = 10'000'000'000'000'000'000ull;
constexpr int kChunkDigits = 19;
static_assert(kChunk >> 63 == 1);
// floor((2^128 - 1) / 10^19) - 2^64; the quotient lies in [2^64, 2^65).
constexpr std::uint64_t kReciprocal = static_cast<std::uint64_t>(~u128{0} / kChunk);

// (high * 2^64 + low) / 10^19 for high < 10^19, with the remainder in `rem`.
inline std::uint64_t divide_by_chunk(std::uint64_t high, std::uint64_t low, std::uint64_t& rem) {
  const u128 p = u128{kReciprocal} * high + ((u128{high} << 64) | low);
  auto q = static_cast<std::uint64_t>(p >> 64) + 1;
  std::uint64_t r = low - q * kChunk;
  if (r > static_cast<std::uint64_t>(p)) {
    --q;
    r += kChunk;
  }
  if (r >= kChunk) [[unlikely]] {
    ++q;
    r -= kChunk;
  }
  rem = r;
  return q;
}

consteval std::array<char, 200> make_pairs() {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}

constexpr auto kPairs = make_pairs();

inline void write_pair(char* out, std::uint32_t v) { std::memcpy(out, kPairs.data() + 2 * v, 2); }

// Exactly 8 digits of v < 10^8.
inline void write_8_digits(char* out, std::uint32_t v) {
  const std::uint32_t high = v / 10000, low = v % 10000;
  write_pair(out, high / 100);
  write_pair(out + 2, high % 100);
  write_pair(out + 4, low / 100);
  write_pair(out + 6, low % 100);
}

// Exactly 19 digits of v < 10^19, leading zeros included.
inline void write_chunk(char* out, std::uint64_t v) {
  constexpr std::uint64_t k16 = 10'000'000'000'000'000ull;
  const auto top = static_cast<std::uint32_t>(v / k16);  // below 1000
  const std::uint64_t rest = v % k16;
  out[0] = static_cast<char>('0' + top / 100);
  write_pair(out + 1, top % 100);
  write_8_digits(out + 3, static_cast<std::uint32_t>(rest / 100'000'000));
  write_8_digits(out + 11, static_cast<std::uint32_t>(rest % 100'000'000));
}

template <std::size_t N>
std::array<std::uint64_t, N> load_limbs(const std::uint8_t* le_bytes) {
  std::array<std::uint64_t, N> limbs;
  std::memcpy(limbs.data(), le_bytes, 8 * N);
  if constexpr (std::endian::native == std::endian::big) {
    for (auto& limb : limbs) limb = std::byteswap(limb);
  }
  return limbs;
}

// Two's complement negation in place.
template <std::size_t N>
void negate(std::array<std::uint64_t, N>& limbs) {
  std::uint64_t carry = 1;
  for (auto& limb : limbs) {
    limb = ~limb + carry;
    carry = carry != 0 && limb == 0;
  }
}

// The digits of the magnitude in `limbs` (least significant first), which are
// consumed. Chunks are peeled off the low end until one limb is left; that
// limb leads, the chunks follow with their zeros.
template <std::size_t N>
std::size_t write_magnitude(char* out, std::array<std::uint64_t, N>& limbs) {
  std::size_t n = N;
  while (n > 1 && limbs[n - 1] == 0) --n;
  // After N divisions the value is below (2^64 / 10^19)^N < 2^64: N chunks suffice.
  std::uint64_t chunks[N];
  std::size_t count = 0;
  while (n > 1) {
    std::uint64_t rem = 0;
    for (std::size_t i = n; i-- > 0;) limbs[i] = divide_by_chunk(rem, limbs[i], rem);
    chunks[count++] = rem;
    while (n > 1 && limbs[n - 1] == 0) --n;
  }
  char* p = std::to_chars(out, out + kU64DecimalMax, limbs[0]).ptr;
  while (count > 0) {
    write_chunk(p, chunks[--count]);
    p += kChunkDigits;
  }
  return static_cast<std::size_t>(p - out);
}

template <std::size_t N>
std::size_t write_wide(char* out, const std::uint8_t* le_bytes, bool is_signed) {
  auto limbs = load_limbs<N>(le_bytes);
  if (is_signed && limbs[N - 1] >> 63) {
    negate(limbs);
    *out = '-';
    return 1 + write_magnitude(out + 1, limbs);
  }
  return write_magnitude(out, limbs);
}

}  // namespace

std::size_t write_u64_decimal(char* out, std::uint64_t value) {
  return static_cast<std::size_t>(std::to_chars(out, out + kU64DecimalMax, value).ptr - out);
}

std::size_t write_i64_decimal(char* out, std::int64_t value) {
  return static_cast<std::size_t>(std::to_chars(out, out + kI64DecimalMax, value).ptr - out);
}

std::size_t write_u128_decimal(char* out, std::span<const std::uint8_t, 16> le_bytes) {
  return write_wide<2>(out, le_bytes.data(), false);
}

std::size_t write_i128_decimal(char* out, std::span<const std::uint8_t, 16> le_bytes) {
  return write_wide<2>(out, le_bytes.data(), true);
}

std::size_t write_u256_decimal(char* out, std::span<const std::uint8_t, 32> le_bytes) {
  return write_wide<4>(out, le_bytes.data(), false);
}

std::size_t write_i256_decimal(char* out, std::span<const std::uint8_t, 32> le_bytes) {
  return write_wide<4>(out, le_bytes.data(), true);
}

void append_u64_decimal(std::string& out, std::uint64_t value) {
  char buffer[kU64DecimalMax];
  out.append(buffer, write_u64_decimal(buffer, value));
}

void append_i64_decimal(std::string& out, std::int64_t value) {
  char buffer[kI64DecimalMax];
  out.append(buffer, write_i64_decimal(buffer, value));
}

void append_u128_decimal(std::string& out, std::span<const std::uint8_t, 16> le_bytes) {
  char buffer[kU128DecimalMax];
  out.append(buffer, write_u128_decimal(buffer, le_bytes));
}

void append_i128_decimal(std::string& out, std::span<const std::uint8_t, 16> le_bytes) {
  char buffer[kI128DecimalMax];
  out.append(buffer, write_i128_decimal(buffer, le_bytes));
}

void append_u256_decimal(std::string& out, std::span<const std::uint8_t, 32> le_bytes) {
  char buffer[kU256DecimalMax];
  out.append(buffer, write_u256_decimal(buffer, le_bytes));
}

void append_i256_decimal(std::string& out, std::span<const std::uint8_t, 32> le_bytes) {
  char buffer[kI256DecimalMax];
  out.append(buffer, write_i256_decimal(buffer, le_bytes));
}

}  // namespace brisquel::codec
