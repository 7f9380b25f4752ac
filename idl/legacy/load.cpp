#include "idl/legacy/load.hpp"

namespace brisquel::idl::legacy {

Result<Idl> load(const json::Value&) {
  return fail("IDL documents without a spec version are not supported yet");
}

}  // namespace brisquel::idl::legacy
