#include "idl/legacy/disc.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace brisquel::idl::legacy {

Bytes get_disc(std::string_view ns, std::string_view name) {
  std::string preimage;
  preimage.reserve(ns.size() + 1 + name.size());
  preimage.append(ns).push_back(':');
  preimage.append(name);

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  // Fetched once: looking the algorithm up per call costs more than hashing a name.
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (sha256 == nullptr || EVP_Digest(preimage.data(), preimage.size(), digest, &size, sha256, nullptr) != 1 ||
      size < 8) {
    // SHA-256 over a short buffer cannot fail short of a broken libcrypto or
    // an allocation failure; neither leaves anything sensible to return.
    std::fputs("brisquel: SHA-256 digest failed\n", stderr);
    std::abort();
  }
  return Bytes(digest, digest + 8);
}

}  // namespace brisquel::idl::legacy
