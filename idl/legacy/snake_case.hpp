// Field, argument and account names of legacy documents are rewritten to
// snake case ("amountIn" -> "amount_in", "NFTMetadata" -> "nft_metadata").
#pragma once

#include <string>
#include <string_view>

namespace brisquel::idl::legacy {

// Splits `utf8` into Unicode (UAX #29) words, keeps those holding a letter or
// a digit, splits each further at case changes and underscores, and joins the
// lowercased pieces with '_'. ASCII text takes a fast path with the same result.
std::string to_snake_case(std::string_view utf8);

namespace detail {
// The general path on its own, so tests can hold the fast path against it.
std::string to_snake_case_unicode(std::string_view utf8);
}  // namespace detail

}  // namespace brisquel::idl::legacy
