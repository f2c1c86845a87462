// Hostile XML key value documents: mutated, truncated and deeply nested key values and certificates end
// in the reader's codes, and what reads writes and reads again; under ASan and UBSan nothing crashes or
// leaks. VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

std::string FuzzXmlKeyInput(const std::string& input);

namespace {

constexpr char kAlphabet[] = "<>/=\": \n\0AQXYdsPG";

TEST(XmlKeyFuzz, MutatedDocumentsEndInTheirCodes) {
  pki::testing::ProvidersLoaded providers;
  std::string certificate = pki::testing::ReadFile(std::string(pki::testing::kVectors) + "/x509/cryptography.io.pem");
  const size_t begin = certificate.find('\n') + 1;
  certificate = begin > 0 ? certificate.substr(begin, certificate.find("-----END") - begin) : "MAMCAQA=";
  const std::string rsa =
      "<RSAKeyValue><Modulus>0wLlbNdr0Ak+2A==</Modulus><Exponent>AQAB</Exponent><D>ASFHd4k=</D><P>7w==</P>"
      "<Q>4Q==</Q><DP>AQ==</DP><InverseQ>WQ==</InverseQ></RSAKeyValue>";
  std::string deep = rsa;
  for (int i = 0; i < 250; ++i) deep = "<a>" + deep + "</a>";
  const std::vector<std::string> seeds = {
      "<KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><KeyValue>" + rsa +
          "</KeyValue><X509Data><X509Certificate>" + certificate + "</X509Certificate></X509Data></KeyInfo>",
      "<ds:KeyInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><ds:DSAKeyValue><ds:P>/////w==</ds:P>"
      "<ds:Q>8w==</ds:Q><ds:G>Ag==</ds:G><ds:Y>BQY=</ds:Y><ds:X>Bw==</ds:X></ds:DSAKeyValue></ds:KeyInfo>",
      deep,
  };
  testing_support::RunMutationLoop("XmlKey", seeds, 20000, std::string(kAlphabet, sizeof kAlphabet - 1), FuzzXmlKeyInput);
}

}  // namespace
}  // namespace velmora::keystore::testing
