// Hostile input: mutated corpus and responder-made OCSP responses read against a fixed request end in 0 or
// a refusal or reader's code; under ASan and UBSan nothing crashes, reads out of bounds or leaks.
// VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE multiplies the count.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pki/pem_armour.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::pki::testing {

std::string FuzzOcspResponseInput(const std::string& input);
void SetOcspFuzzRequest(const std::string& issuer, const std::string& certificate);

namespace {

const std::string kBytes("\x00\x01\x02\x03\x04\x05\x06\x0A\x18\x30\x80\x81\x82\xA0\xA1\xA2\xFF", 17);

std::string Der(const ScratchDir& dir, const std::string& stem) {
  core::Buffer der;
  EXPECT_EQ(PemDecode(dir.Read(stem + ".pem").c_str(), "CERTIFICATE", der, ""), 0);
  return Bytes(der);
}

TEST(OcspFuzz, MutatedResponsesEndInAllowedResults) {
  ProvidersLoaded providers;
  std::vector<std::string> seeds;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/usr/lib/python3/dist-packages/cryptography_vectors/x509/ocsp", ec)) {
    if (entry.path().filename().string().starts_with("resp-")) seeds.push_back(ReadFile(entry.path().string()));
  }
  ScratchDir dir;
  const std::string make = std::string(kDebianPython) + " " VELMORA_TEST_SOURCE_DIR "/pki/ocsp_oracle.py make " + dir.path;
  if (OpensslAvailable() && DebianPythonAvailable() && Runs((make + " 2>/dev/null").c_str())) {
    SetOcspFuzzRequest(Der(dir, "ca"), Der(dir, "leaf1"));
    const std::string cd = "cd " + dir.path + " && ";
    EXPECT_TRUE(Runs((cd + "openssl ocsp -issuer ca.pem -cert leaf1.pem -reqout q.der 2>/dev/null").c_str()));
    for (const std::string options : {"-rsigner ca.pem -rkey ca.key -nmin 5",
                                      "-rsigner delegate.pem -rkey delegate.key -resp_key_id"}) {
      EXPECT_TRUE(Runs((cd + "openssl ocsp -index index.txt -CA ca.pem -reqin q.der -respout r.der -no_nonce " +
                        options + " 2>/dev/null").c_str()));
      seeds.push_back(dir.Read("r.der"));
    }
  }
  if (seeds.empty()) GTEST_SKIP() << "neither the vectors nor openssl and Debian's python3 are installed";
  testing_support::RunMutationLoop("OCSP", seeds, 10000, kBytes, FuzzOcspResponseInput);
}

}  // namespace
}  // namespace velmora::pki::testing
