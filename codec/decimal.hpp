// Exact decimal text of integers up to 256 bits wide, for table columns and
// JSON numbers. Wide values arrive as their little-endian Borsh bytes (two's
// complement when signed), so no wide integer type crosses the interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brisquel::codec {

// Longest text of each kind: the sign of the most negative value included.
inline constexpr std::size_t kU64DecimalMax = 20;   // 18446744073709551615
inline constexpr std::size_t kI64DecimalMax = 20;   // -9223372036854775808
inline constexpr std::size_t kU128DecimalMax = 39;  // 2^128 - 1
inline constexpr std::size_t kI128DecimalMax = 40;  // -2^127
inline constexpr std::size_t kU256DecimalMax = 78;  // 2^256 - 1
inline constexpr std::size_t kI256DecimalMax = 78;  // -2^255
inline constexpr std::size_t kDecimalMax = 78;      // any of the above

// Each writes the text at `out`, which has room for the kind's maximum, and
// returns its length. No terminator is written.
std::size_t write_u64_decimal(char* out, std::uint64_t value);
std::size_t write_i64_decimal(char* out, std::int64_t value);
std::size_t write_u128_decimal(char* out, std::span<const std::uint8_t, 16> le_bytes);
std::size_t write_i128_decimal(char* out, std::span<const std::uint8_t, 16> le_bytes);
std::size_t write_u256_decimal(char* out, std::span<const std::uint8_t, 32> le_bytes);
std::size_t write_i256_decimal(char* out, std::span<const std::uint8_t, 32> le_bytes);

void append_u64_decimal(std::string& out, std::uint64_t value);
void append_i64_decimal(std::string& out, std::int64_t value);
void append_u128_decimal(std::string& out, std::span<const std::uint8_t, 16> le_bytes);
void append_i128_decimal(std::string& out, std::span<const std::uint8_t, 16> le_bytes);
void append_u256_decimal(std::string& out, std::span<const std::uint8_t, 32> le_bytes);
void append_i256_decimal(std::string& out, std::span<const std::uint8_t, 32> le_bytes);

}  // namespace brisquel::codec
