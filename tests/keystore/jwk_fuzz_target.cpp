// One hostile text through the JWK reader, and a key read from it back through the writer: the target of
// the ctest fuzz case and of the libFuzzer program.
#include <string>

#include "keystore/jwk.h"

namespace velmora::keystore::testing {

// FuzzJwkInput names the first result outside its codes ("" when none is).
std::string FuzzJwkInput(const std::string& input) {
  pki::KeyWithCertificates record;
  const int rc = LoadJwk(record, input.c_str());
  // The reader's own 271, the parser's markup error, and the PEM and certificate readers' codes of "x5c".
  for (int allowed : {0, 271, 10232, 1424, 2001, 602, 446, 447, -1, 1401}) {
    if (rc == allowed) {
      if (rc != 0) return "";
      core::Buffer out;
      for (uint32_t include_private : {0u, 1u}) {
        const int written = WriteJwk(record.key, include_private, out);
        if (written != 0 && written != 1424) return "WriteJwk " + std::to_string(written);
      }
      return "";
    }
  }
  return "LoadJwk " + std::to_string(rc);
}

}  // namespace velmora::keystore::testing
