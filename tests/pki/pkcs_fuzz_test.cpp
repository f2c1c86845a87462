// Hostile input: mutated PKCS #12 containers, encrypted and plain PKCS #8 keys and traditional keys (made by
// openssl with iteration counts of 1) through their readers end in 0 or a bad-input code; under ASan and
// UBSan nothing crashes, reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed,
// VELMORABLE_FUZZ_SCALE multiplies the count; VELMORABLE_FUZZ_CORPUS names a folder to write the seeds to.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/pki/pem_test_support.h"
#include "tests/fuzz_support.h"

namespace velmora::pki::testing {

std::string FuzzPkcsInput(const std::string& input);

namespace {

const std::string kBytes("\x00\x01\x02\x03\x04\x05\x06\x30\x31\x7F\x80\x81\x82\x84\xA0\xA1\xFF", 17);

TEST(PkcsFuzz, MutatedContainersAndKeysEndInAllowedResults) {
  ProvidersLoaded providers;
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  ScratchDir scratch;
  const std::string key = scratch / "k.pem", cert = scratch / "c.pem", dsa = scratch / "d.pem";
  ASSERT_TRUE(Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=f "
                    "-keyout " + key + " -out " + cert));
  ASSERT_TRUE(Shell("openssl genpkey -paramfile " VELMORA_TEST_SOURCE_DIR "/data/pki/dsa_params.pem -out " + dsa));
  const std::string common = " -inkey " + key + " -in " + cert + " -passout pass:x -iter 1 -nomaciter -out ";
  const std::vector<std::string> commands = {
      "openssl pkcs12 -export" + common + scratch / "s1",
      "openssl pkcs12 -export -legacy" + common + scratch / "s2",
      "openssl pkcs12 -export -keypbe NONE -certpbe NONE" + common + scratch / "s3",
      "openssl pkcs8 -topk8 -v2 aes-128-cbc -iter 1 -passout pass:x -outform DER -in " + key + " -out " + scratch / "s4",
      "openssl pkcs8 -topk8 -v1 PBE-SHA1-DES -provider legacy -provider default -iter 1 -passout pass:x -outform DER "
      "-in " + key + " -out " + scratch / "s5",
      "openssl pkcs8 -topk8 -nocrypt -outform DER -in " + dsa + " -out " + scratch / "s6",
      "openssl ec -outform DER -in " + key + " -out " + scratch / "s7",
      "openssl dsa -outform DER -in " + dsa + " -out " + scratch / "s8",
      "openssl genpkey -algorithm ED25519 | openssl pkcs8 -topk8 -nocrypt -outform DER -out " + scratch / "s9",
      "openssl genrsa 512 | openssl rsa -traditional -outform DER -out " + scratch / "s10"};
  std::vector<std::string> seeds;
  for (size_t i = 0; i < commands.size(); ++i) {
    ASSERT_TRUE(Shell(commands[i])) << commands[i];
    seeds.push_back(scratch.Read("s" + std::to_string(i + 1)));
  }
  if (const char* corpus = std::getenv("VELMORABLE_FUZZ_CORPUS"); corpus != nullptr) {
    for (size_t i = 0; i < seeds.size(); ++i) {
      ASSERT_TRUE(Shell("cp " + scratch / ("s" + std::to_string(i + 1)) + " " + corpus));
    }
  }
  testing_support::RunMutationLoop("PKCS", seeds, 50000, kBytes, FuzzPkcsInput);
}

}  // namespace
}  // namespace velmora::pki::testing
