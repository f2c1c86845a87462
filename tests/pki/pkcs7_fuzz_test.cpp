// Hostile input: mutated bundles and signed messages through the PKCS #7 readers, and mutated selection
// texts through the subject and thumbprint search, end in 0 or a bad-input code and never hang; under
// ASan and UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed
// seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base64.h"
#include "pki/pkcs7.h"
#include "tests/fuzz_support.h"
#include "tests/pki/cert_test_support.h"

namespace velmora::pki::testing {

std::string FuzzPkcs7Input(const std::string& input);
std::string FuzzSelectionText(const std::string& text, SignedDataEntry& bundle);

namespace {

const std::string kVectorsDir = "/usr/lib/python3/dist-packages/cryptography_vectors/pkcs7";

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const char* name : {"/amazon-roots.der", "/amazon-roots.p7b"}) {
    if (std::string bytes = ReadFile(kVectorsDir + name); !bytes.empty()) seeds.push_back(bytes);
  }
  std::string message;
  if (OpensslAvailable() &&
      RunCommand("d=$(mktemp -d) && cd $d && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout k.pem "
                 "-out c.pem -subj /CN=Fuzz 2>/dev/null && echo x | openssl cms -sign -nodetach -signer c.pem -inkey k.pem "
                 "-outform DER 2>/dev/null; rm -rf $d",
                 &message) &&
      !message.empty()) {
    seeds.push_back(message);
  }
  return seeds;
}

const std::string kBytes("\x00\x01\x02\x04\x06\x13\x17\x18\x30\x31\x80\x81\x82\xA0\xA1\xFF", 16);

TEST(Pkcs7Fuzz, MutatedBundlesAndMessagesEndInAllowedResults) {
  const std::vector<std::string> seeds = Seeds();
  if (seeds.empty()) GTEST_SKIP() << "neither the vectors nor openssl are installed";
  testing_support::RunMutationLoop("PKCS7", seeds, 20000, kBytes, FuzzPkcs7Input);
}

TEST(Pkcs7Fuzz, MutatedSelectionTextsEndInAnIndexOrNoMatch) {
  const std::string bytes = ReadFile(kVectorsDir + "/amazon-roots.der");
  if (bytes.empty()) GTEST_SKIP() << "the vectors are not installed";
  SignedDataEntry bundle;
  ASSERT_EQ(LoadP7b(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()), bundle), 0);
  const std::vector<std::string> seeds = {"*", "Test", "CN=Bob", "O=Example, CN=Test", "C=US,CN=\"a, b\"",
                                          "Thumbprint = aa bb cc dd ee ff 00 11 22 33 44 55 66 77 88 99 aa bb cc dd"};
  testing_support::RunMutationLoop("selection", seeds, 20000, "=,\" \\*+aAtT0\t",
                                   [&bundle](const std::string& text) { return FuzzSelectionText(text, bundle); });
}

}  // namespace
}  // namespace velmora::pki::testing
