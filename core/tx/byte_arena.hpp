// One growing buffer for the payloads of a transaction, reused from one
// transaction to the next. Callers keep offsets, not pointers: growing moves it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace brisquel::tx {

class ByteArena {
 public:
  std::size_t size() const { return size_; }
  const std::uint8_t* data() const { return data_.get(); }
  void clear() { size_ = 0; }
  // Back to an earlier size, dropping what was appended since.
  void shrink_to(std::size_t size) { size_ = size; }

  // `n` more bytes at the end, left uninitialised; the pointer is valid until
  // the next call.
  std::uint8_t* extend(std::size_t n) {
    if (n > capacity_ - size_) {
      std::size_t capacity = capacity_ < 256 ? 256 : 2 * capacity_;
      if (capacity - size_ < n) capacity = size_ + n;
      auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
      if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    std::uint8_t* at = data_.get() + size_;
    size_ += n;
    return at;
  }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace brisquel::tx
