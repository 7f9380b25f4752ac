// A growable, 64-byte aligned byte buffer (what Arrow consumers expect of
// exported memory) and the bitmap helpers the builders use on it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace brisquel::arrow {

inline constexpr std::size_t kBufferAlignment = 64;

// The address handed out for a buffer with no bytes: consumers may not be
// given null for a mandatory buffer, and this one is aligned like the rest.
const void* empty_buffer_address();

// How large a buffer in some place (a column of a table a decoder makes)
// was when last finished. A buffer that knows it can take a kept region of
// the right size at once, instead of trading up region by region as it grows
// (a copy each time) and, where threads build tables side by side, instead of
// finding the regions it fits taken by smaller buffers and faulting fresh
// pages in. Only a guess: a wrong one costs time, never a byte.
using SizeHint = std::atomic<std::size_t>;

// The hint of the buffer with role `role` in the place `site` (an address that
// outlives the buffers made for it). Places share a bounded set of hints.
SizeHint* size_hint(const void* site, unsigned role);

// memcpy of `n` bytes, inline for the short values columns mostly take
// (pubkeys, 16-byte numbers, short arrays): a call into the library's copy
// for each costs more than the copy. Two overlapping moves of a fixed width
// cover every length between that width and twice it.
[[gnu::always_inline]] inline void copy_bytes(void* to, const void* from, std::size_t n) {
  auto* out = static_cast<std::uint8_t*>(to);
  const auto* in = static_cast<const std::uint8_t*>(from);
  auto pair = [&]<std::size_t W>(std::integral_constant<std::size_t, W>) {
    std::uint8_t head[W], tail[W];
    std::memcpy(head, in, W);
    std::memcpy(tail, in + n - W, W);
    std::memcpy(out, head, W);
    std::memcpy(out + n - W, tail, W);
  };
  if (n > 64) {
    std::memcpy(out, in, n);
  } else if (n > 32) {
    pair(std::integral_constant<std::size_t, 32>{});
  } else if (n > 16) {
    pair(std::integral_constant<std::size_t, 16>{});
  } else if (n >= 8) {
    pair(std::integral_constant<std::size_t, 8>{});
  } else if (n >= 4) {
    pair(std::integral_constant<std::size_t, 4>{});
  } else if (n != 0) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  }
}

class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  // A buffer moved from keeps its hint: the next one built in its place takes after it.
  Buffer(Buffer&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_), touched_(other.touched_),
        hint_(other.hint_), mapped_(other.mapped_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
    other.mapped_ = false;
  }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      touched_ = other.touched_;
      hint_ = other.hint_;
      mapped_ = other.mapped_;
      other.data_ = nullptr;
      other.size_ = other.capacity_ = 0;
      other.mapped_ = false;
    }
    return *this;
  }
  ~Buffer() { release(); }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

  // Room for `n` more bytes; throws std::bad_alloc when there is none to be had.
  void reserve_more(std::size_t n) {
    if (n > capacity_ - size_) [[unlikely]] grow(n);
  }

  // `n` more bytes at the end (uninitialised); the address of the first.
  std::uint8_t* extend(std::size_t n) {
    reserve_more(n);
    std::uint8_t* p = data_ + size_;
    size_ += n;
    return p;
  }

  template <class T>
  void push(T value) {
    reserve_more(sizeof(T));
    std::memcpy(data_ + size_, &value, sizeof(T));
    size_ += sizeof(T);
  }

  // Shortens the buffer or takes in bytes already written past its end (up to its capacity).
  void set_size(std::size_t n) { size_ = n; }

  void set_hint(SizeHint* hint) { hint_ = hint; }

  // Gives back the spare capacity, keeping the alignment: the buffer is
  // finished, and its size is the hint of the next one in its place.
  void shrink_to_fit();
  void release();

 private:
  [[gnu::noinline]] void grow(std::size_t n);
  // Room for `capacity` bytes; `expect` is how many the buffer may come to hold.
  void reallocate(std::size_t capacity, std::size_t expect);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t touched_ = 0;  // of mapped pages: the bytes that earlier users wrote, still in memory
  SizeHint* hint_ = nullptr;
  bool mapped_ = false;      // pages of its own, not heap memory
};

// Bitmaps (validity, bool values) hold ceil(bits / 8) bytes, least significant
// bit first, and keep the bits past their length zero, so appending a set bit
// is one OR and appending a clear one is nothing.

inline bool get_bit(const std::uint8_t* bits, std::int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// Appends bit number `i`, the bitmap's current length.
inline void push_bit(Buffer& bits, std::int64_t i, bool value) {
  if ((i & 7) == 0) bits.push<std::uint8_t>(value);
  else bits.data()[i >> 3] |= static_cast<std::uint8_t>(value) << (i & 7);
}

// Appends `n` copies of `value` from bit number `i`, the bitmap's current length.
void push_bits(Buffer& bits, std::int64_t i, std::int64_t n, bool value);

// Cuts a bitmap back to `n` bits, clearing the bits after them in the last byte.
void truncate_bits(Buffer& bits, std::int64_t n);

// The clear bits among bits [begin, end).
std::int64_t count_clear_bits(const std::uint8_t* bits, std::int64_t begin, std::int64_t end);

}  // namespace brisquel::arrow
