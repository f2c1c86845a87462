// Hostile SSH public keys: mutated blobs of every key type through the reader, as blobs and as one-line
// texts, end in 0 or 280, and what reads writes back; under ASan and UBSan nothing crashes, reads out of
// bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/pki/pem_test_support.h"
#include "tests/fuzz_support.h"

namespace velmora::keystore::testing {

std::string FuzzSshInput(const std::string& input);

namespace {

std::string Blob(const std::string& line) {
  const size_t a = line.find(' ') + 1, b = line.find(' ', a);
  std::string text = line.substr(a, b - a), out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --n;
  return out.substr(0, static_cast<size_t>(n < 0 ? 0 : n));
}

const std::string kBytes("\x00\x01\x04\x07\x20\x21\x41\x7f\x80\xff", 10);

TEST(SshFuzz, MutatedBlobsAndLinesEndInTheirCodes) {
  pki::testing::ProvidersLoaded providers;
  std::vector<std::string> seeds;
  for (const char* name : {"dsa-nopsw", "ecdsa-nopsw", "ecdsa-psw", "ed25519-nopsw", "rsa-nopsw"}) {
    const std::string line =
        pki::testing::ReadFile(std::string(pki::testing::kVectors) + "/asymmetric/OpenSSH/" + name + ".key.pub");
    if (!line.empty()) seeds.push_back(Blob(line));
  }
  const std::string ed448 = pki::testing::ReadFile(VELMORA_TEST_DATA_DIR "/keystore/ssh_ed448.pub");
  seeds.push_back(Blob(ed448.substr(ed448.find('\n') + 1)));
  testing_support::RunMutationLoop("SSH", seeds, 300000, kBytes, FuzzSshInput);
}

}  // namespace
}  // namespace velmora::keystore::testing
