// Hostile security key blocks: mutated blocks holding a certificate or a public key end in the reader's
// codes, and a block read whole writes and reads back the same; under ASan and UBSan nothing crashes,
// reads out of bounds or leaks. VELMORABLE_FUZZ_SEED replays the printed seed, VELMORABLE_FUZZ_SCALE
// multiplies the count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keystore/security_key.h"
#include "tests/fuzz_support.h"
#include "tests/pki/pem_test_support.h"

namespace velmora::keystore::testing {

std::string FuzzSecurityKeyInput(const std::string& input);

namespace {

TEST(SecurityKeyFuzz, MutatedBlocksEndInTheirCodes) {
  pki::testing::ProvidersLoaded providers;
  std::vector<std::string> seeds;
  for (const char* file : {"/x509/cryptography.io.pem", "/asymmetric/PEM_Serialization/ec_public_key.pem"}) {
    pki::CertificateWithKey record;
    for (const char* name : {"PKCS11_DLL_PATH", "PKCS11_SLOT_ID", "PKCS11_SLOT_DESC", "PKCS11_MANUFACTURER_ID",
                             "PKCS11_HARDWARE_VERSION", "PKCS11_FIRMWARE_VERSION", "PKCS11_TOKEN_LABEL",
                             "PKCS11_TOKEN_MANUFACTURER_ID", "PKCS11_TOKEN_MODEL", "PKCS11_SERIAL_NUMBER",
                             "PKCS11_PUBLIC_KEY_PEM", "PKCS11_KEY_ID", "PKCS11_CERT_NAME",
                             "PKCS11_PRIVATE_KEY_HANDLE", "PKCS11_PUBLIC_KEY_HANDLE", "PKCS11_CERT_SUBJECT"}) {
      core::Buffer value;
      const std::string text = std::string(name) == "PKCS11_PUBLIC_KEY_PEM"
                                   ? pki::testing::ReadFile(std::string(pki::testing::kVectors) + file)
                                   : std::string("/lib/") + name;
      ASSERT_EQ(value.SetString(text.c_str()), 0);
      ASSERT_EQ(record.AddAttribute(name, value), 0);
    }
    core::Buffer out;
    ASSERT_EQ(WriteSecurityKey(record, out), 0);
    seeds.push_back(pki::testing::Bytes(out));
  }
  testing_support::RunMutationLoop("SecurityKey", seeds, 30000, "\r\n-=A0\x04\x30\x80", FuzzSecurityKeyInput);
}

}  // namespace
}  // namespace velmora::keystore::testing
