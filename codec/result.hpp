// Errors inside the loader are values: one message text, no position, no chain.
#pragma once

#include <expected>
#include <string>

namespace brisquel {

template <class T>
using Result = std::expected<T, std::string>;

inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

}  // namespace brisquel
