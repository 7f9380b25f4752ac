// A heap cell with value semantics: copying it copies the pointee, so model
// trees that nest through it stay plain owned values.
#pragma once

#include <memory>
#include <utility>

namespace brisquel {

template <class T>
class Box {
 public:
  Box() = default;
  Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit on purpose
  Box(const Box& other) : ptr_(other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = other.ptr_ ? std::make_unique<T>(*other.ptr_) : nullptr;
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  explicit operator bool() const { return ptr_ != nullptr; }
  T& operator*() const { return *ptr_; }
  T* operator->() const { return ptr_.get(); }
  T* get() const { return ptr_.get(); }

 private:
  std::unique_ptr<T> ptr_;
};

template <class T>
bool operator==(const Box<T>& a, const Box<T>& b) {
  if (!a || !b) return !a && !b;
  return *a == *b;
}

}  // namespace brisquel
