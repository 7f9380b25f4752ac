// The IDL loader on arbitrary text: current and legacy documents alike, since
// the loader picks the path from the text itself.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "idl/loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto idl = brisquel::idl::convert_idl(std::string_view(reinterpret_cast<const char*>(data), size));
  // A failure is one non-empty message.
  if (!idl && idl.error().empty()) __builtin_trap();
  return 0;
}
