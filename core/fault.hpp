// An internal fault: an invariant of this code that does not hold (a column
// type the builders refuse although the schema made it, columns of unequal
// length). It is never caused by input, which fails as a value instead; the
// Python boundary raises it as PanicException with its message.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace brisquel {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace brisquel
