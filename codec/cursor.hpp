// A forward-only, bounds-checked reader over an event payload.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "codec/result.hpp"

namespace brisquel::codec {

// The error texts of a failed read; kept out of line so reads stay small.
[[gnu::cold]] std::string length_overflow_text();
[[gnu::cold]] std::string end_of_buffer_text(std::uint64_t need, std::uint64_t pos, std::uint64_t have);

class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint64_t pos() const { return pos_; }
  std::size_t size() const { return data_.size(); }
  std::size_t remaining() const { return data_.size() - pos_; }

  // The next `n` bytes; a failed read leaves the position where it was.
  Result<std::span<const std::uint8_t>> take(std::uint64_t n) {
    const std::uint8_t* p = try_take(n);
    if (p == nullptr) return fail(read_error(n));
    return std::span<const std::uint8_t>(p, static_cast<std::size_t>(n));
  }

  // A copy of the next N bytes, for fixed-width numbers (2, 4, 8, 16) and keys (32).
  template <std::size_t N>
    requires(N == 2 || N == 4 || N == 8 || N == 16 || N == 32)
  Result<std::array<std::uint8_t, N>> take_array() {
    const std::uint8_t* p = try_take(N);
    if (p == nullptr) return fail(read_error(N));
    std::array<std::uint8_t, N> out;
    std::memcpy(out.data(), p, N);
    return out;
  }

  // The decoder's fast path: the next `n` bytes, or nullptr (position
  // unchanged) when they are not there; read_error(n) then tells why.
  const std::uint8_t* try_take(std::uint64_t n) {
    if (n > data_.size() - pos_) [[unlikely]] return nullptr;
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += n;
    return p;
  }

  [[gnu::cold]] std::string read_error(std::uint64_t n) const {
    if (n > UINT64_MAX - pos_) return length_overflow_text();
    return end_of_buffer_text(n, pos_, data_.size());
  }

 private:
  std::span<const std::uint8_t> data_;
  std::uint64_t pos_ = 0;
};

// Little-endian reads of fixed-width numbers.
template <class T>
inline T load_le(const std::uint8_t* bytes) {
  static_assert(std::endian::native == std::endian::little, "little-endian targets only");
  T v;
  std::memcpy(&v, bytes, sizeof(T));
  return v;
}

template <class T, std::size_t N>
inline T load_le(const std::array<std::uint8_t, N>& bytes) {
  static_assert(sizeof(T) == N);
  return load_le<T>(bytes.data());
}

}  // namespace brisquel::codec
