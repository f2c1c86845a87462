// Hostile JWKs: mutated keys of every type, with chains, escapes and deep nesting, end in the reader's
// codes and what reads writes back; under ASan and UBSan nothing crashes, reads out of bounds or leaks.
// VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base64.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

std::string FuzzJwkInput(const std::string& input);

namespace {

TEST(JwkFuzz, MutatedKeysEndInTheirCodes) {
  pki::testing::ProvidersLoaded providers;
  const std::string pem =
      pki::testing::ReadFile(std::string(pki::testing::kVectors) + "/x509/cryptography.io.pem");
  std::string body;
  for (size_t at = pem.find('\n') + 1; at < pem.size() && pem.compare(at, 5, "-----") != 0; at = pem.find('\n', at) + 1) {
    body += pem.substr(at, pem.find('\n', at) - at);
  }
  std::vector<std::string> seeds = {
      R"({"kty":"RSA","n":"wX1z","e":"AQAB","d":"AQ","p":"Aw","q":"BQ","dp":"Bw","dq":"CQ","qi":"Cw","kid":"a\"b"})",
      R"({"kty":"EC","crv":"P-521","x":"AQID","y":"BAUG","d":"Bwg","exp":1700000000,"nbf":null})",
      R"({"kty":"OKP","crv":"X448","x":"AQID","d":"BAUG","ok":true,"x5u":[1,{"a":[]}]})",
      R"({"kty":"EC","crv":"BP-256","x":"AQ","y":"Ag","x5c":[")" + body + "\",\"" + body + "\"]}",
      R"({"kty":"OKP","crv":"Ed25519","x":"AQ","n":{"a":[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]}})",
      R"({"kty":"RSA","n":"AQ","e":"AQ","deep":)" + std::string(3000, '[') + std::string(3000, ']') + "}",
  };
  testing_support::RunMutationLoop("JWK", seeds, 20000, "{}[]\",:\\AQ0 \x80", FuzzJwkInput);
}

}  // namespace
}  // namespace velmora::keystore::testing
