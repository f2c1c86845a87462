// Hostile inputs of every kind the certificate loader detects, mutated from the tools' samples, end in a
// code with a handle that holds whole entries, texts that quote no more than the loader allows, and (under
// ASan, UBSan and LSan) nothing crashed, read out of bounds or leaked. VELMORABLE_FUZZ_SEED replays the
// printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keystore/openssh_key.h"
#include "keystore/ppk.h"
#include "tests/fuzz_support.h"
#include "tests/keystore/loader_fuzz_samples.h"

namespace velmora::keystore::testing {

std::string FuzzLoaderInput(const std::string& input);

namespace {

TEST(LoaderFuzz, MutatedInputsOfEveryKindEndInACode) {
  pki::testing::ProvidersLoaded providers;
  Samples& samples = TheSamples();
  if (!samples.ready) GTEST_SKIP() << "openssl or puttygen is missing";
  std::vector<std::string> seeds;
  for (const Sample& sample : samples.all) seeds.push_back(sample.bytes);
  for (const Sample& sample : samples.python_made) seeds.push_back(sample.bytes);
  seeds.push_back("-----BEGIN UNKNOWN-----\r\nAAAA\r\n-----END UNKNOWN-----\r\n");
  testing_support::RunMutationLoop("Loader", seeds, 4000, std::string("\x00\x0a\x0d\x20\x2d\x30\x41\x80\xff", 9),
                                   FuzzLoaderInput);
  test::SetPpkArgon2Limits(0, 0);
  test::SetOpenSshMaxRounds(0);
}

}  // namespace
}  // namespace velmora::keystore::testing
