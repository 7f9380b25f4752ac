// A forward-only, bounds-checked reader over an event payload.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/error.hpp"

namespace brisquel {

class Cursor {
 public:
  // An empty body may come without an address; reads of 0 bytes must still
  // succeed, so it gets one.
  explicit Cursor(std::span<const std::uint8_t> data)
      : data_(data.data() != nullptr ? data : std::span<const std::uint8_t>(&kNothing, 0)) {}

  std::uint64_t pos() const { return pos_; }
  std::size_t size() const { return data_.size(); }
  std::size_t remaining() const { return data_.size() - pos_; }

  // The next `n` bytes, or nullptr (position unchanged) when they are not
  // there; read_error(n) then tells why.
  const std::uint8_t* try_take(std::uint64_t n) {
    if (n > data_.size() - pos_) [[unlikely]] return nullptr;
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += n;
    return p;
  }

  // The bytes not read yet.
  std::span<const std::uint8_t> rest() const { return data_.subspan(pos_); }
  // Moves to `pos` (backwards too); false, unmoved, past the end.
  bool seek(std::uint64_t pos) {
    if (pos > data_.size()) return false;
    pos_ = pos;
    return true;
  }

  [[gnu::cold]] Error read_error(std::uint64_t n) const {
    if (n > UINT64_MAX - pos_) return Error(Error::Kind::LengthOverflow);
    return Error::end_of_buffer(n, pos_, data_.size());
  }

 private:
  static constexpr std::uint8_t kNothing = 0;
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

}  // namespace brisquel
