// Hostile enveloped data: mutated messages through the decoders and the decryption with the seeds' key end
// in 0, a bad-input code or an RSA or cipher code, write no output on failure and never hang; under ASan
// and UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed,
// VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {

extern const char kEnvelopedFuzzKey[];
std::string FuzzEnvelopedInput(const std::string& input);

namespace {

// Seeds are messages openssl encrypts for a certificate of the fixed key (PKCS #1 v1.5, OAEP with a label,
// a subject key identifier, AES content, a second recipient) and the vectors' message.
std::vector<std::string> Seeds(const ScratchDir& dir) {
  std::vector<std::string> seeds;
  const std::string cd = "cd " + dir.path + " && ";
  if (!Shell(cd + "openssl req -x509 -key " + kEnvelopedFuzzKey + " -out fixed.pem -subj /CN=Fixed -days 30") ||
      !Shell(cd + "openssl req -x509 -newkey rsa:1024 -nodes -keyout other.key -out other.pem -subj /CN=Other -days 30") ||
      !Shell(cd + "openssl rand -out plain.bin 40")) {
    return seeds;
  }
  for (const char* options : {"-des3 fixed.pem", "-des3 -keyid fixed.pem", "-aes128 fixed.pem", "-des3 fixed.pem other.pem",
                              "-des3 -recip fixed.pem -keyopt rsa_padding_mode:oaep -keyopt rsa_oaep_md:sha256 "
                              "-keyopt rsa_oaep_label:0102"}) {
    std::string message;
    if (Shell(cd + "openssl cms -encrypt -binary -in plain.bin -outform DER " + options, &message)) seeds.push_back(message);
  }
  std::string vectors;
  if (Shell(std::string("openssl cms -cmsout -inform PEM -outform DER -in ") + kVectors + "/pkcs7/enveloped.pem", &vectors)) {
    seeds.push_back(vectors);
  }
  return seeds;
}

const std::string kBytes("\x00\x01\x02\x04\x05\x06\x08\x30\x31\x80\x81\x82\xA0\xA1\xA2\xFF", 16);

TEST(EnvelopedFuzz, MutatedMessagesEndInAllowedResults) {
  if (!OpensslAvailable() || ReadFile(kEnvelopedFuzzKey).empty()) GTEST_SKIP() << "openssl or the cryptography vectors missing";
  ProvidersLoaded providers;
  ScratchDir dir;
  const std::vector<std::string> seeds = Seeds(dir);
  ASSERT_EQ(seeds.size(), 6u);
  testing_support::RunMutationLoop("enveloped", seeds, 8000, kBytes, FuzzEnvelopedInput);
}

}  // namespace
}  // namespace velmora::pki::testing
