// Hostile keys: the vectors' PEM and DER key files, mutated, through the key loaders end in their codes
// with the out key untouched on failure; under ASan and UBSan nothing crashes, reads out of bounds or
// leaks. VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {

std::string FuzzKeyLoadInput(const std::string& input);

namespace {

const std::string kBytes("\x30\x02\x04\x06\x80\x81\xff\x00-\nA=", 12);

TEST(KeyLoadFuzz, MutatedKeysEndInTheirCodes) {
  ProvidersLoaded providers;
  std::vector<std::string> seeds;
  for (const char* file :
       {"PEM_Serialization/rsa_private_key.pem", "PEM_Serialization/dsa_private_key.pem",
        "PEM_Serialization/ec_private_key.pem", "PEM_Serialization/rsa_public_key.pem",
        "PEM_Serialization/ec_public_key.pem", "DER_Serialization/unenc-rsa-pkcs8.der",
        "DER_Serialization/unenc-dsa-pkcs8.der", "DER_Serialization/enc-rsa-pkcs8.der",
        "DER_Serialization/ec_public_key.der", "DER_Serialization/dsa_public_key.der",
        "Ed25519/ed25519-pkcs8.pem", "Ed448/ed448-pkcs8.der", "Ed25519/ed25519-pub.der"}) {
    const std::string text = ReadFile(std::string(kVectors) + "/asymmetric/" + file);
    if (!text.empty()) seeds.push_back(text);
  }
  if (seeds.empty()) GTEST_SKIP() << "the cryptography vectors are not installed";
  testing_support::RunMutationLoop("key load", seeds, 100000, kBytes, FuzzKeyLoadInput);
}

}  // namespace
}  // namespace velmora::pki::testing
