// Long payloads go to a vectorised decoder that skips ASCII white space; the
// strict decoder must still refuse every text that holds any, also when the
// rest would be a valid payload on its own.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/base64.hpp"

namespace brisquel::codec {
namespace {

bool decodes(const std::string& text) {
  std::vector<std::uint8_t> out(base64_decoded_capacity(text.size()) + 1);
  return decode_base64_strict(text, out.data()).has_value();
}

TEST(Base64Whitespace, RefusedWhereTheRestIsValid) {
  const std::string body(4 * (kScalarBelow / 4 + 3), 'Q');  // valid alone
  std::mt19937 rng(29);
  constexpr char spaces[] = " \t\n\r\f";
  for (const std::string tail : {"", "QQ==", "QUE="}) {
    const std::string valid = body + tail;
    ASSERT_TRUE(decodes(valid));
    for (int i = 0; i < 2000; ++i) {
      // Four white-space characters keep the length a multiple of 4, so only
      // the white space itself can make the text fail.
      std::string text = valid;
      for (int k = 0; k < 4; ++k) text.insert(rng() % (text.size() + 1), 1, spaces[rng() % 5]);
      ASSERT_FALSE(decodes(text)) << text;
    }
  }
}

}  // namespace
}  // namespace brisquel::codec
