// Keys by provider: creation and completion under the FIPS rules (the openssl command line and
// python3-cryptography as oracles), the two providers agreeing on each other's signatures and ciphertexts,
// the signature front operations, and the default mode's symmetric work on the platform.
#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "crypto/digest/hash_ctx.h"
#include "crypto/objects/cipher_selection.h"
#include "crypto/objects/hash_objects.h"
#include "crypto/objects/key_creation.h"
#include "crypto/objects/key_providers.h"
#include "crypto/providers/cng_ecc_key.h"
#include "crypto/objects/sign_by_key.h"
#include "tests/core/python_oracle.h"
#include "tests/crypto/objects/provider_test_util.h"
#include "tests/test_support.h"

namespace velmora::crypto {
namespace {

using testing::ProviderTest;
using testing_support::FromHex;
using testing_support::Text;
using testing_support::ToHex;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
std::string Hex(const core::BufferCore& b) { return ToHex(Text(b)); }

// The oracle reads one request a line and answers each on a line of its own.
constexpr char kOracle[] = R"PY(
import subprocess, sys, tempfile
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
H = lambda s: int(s[1:] or "0", 16)
for line in sys.stdin:
    f = line.split()
    if f[0] == "check":      # n e d p q dp dq qinv -> openssl rsa -check
        n, e, d, p, q, dp, dq, qi = map(H, f[1:])
        key = rsa.RSAPrivateNumbers(p, q, d, dp, dq, qi, rsa.RSAPublicNumbers(e, n)).private_key()
        with tempfile.NamedTemporaryFile(suffix=".pem") as t:
            t.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                      serialization.NoEncryption()))
            t.flush()
            r = subprocess.run(["openssl", "rsa", "-check", "-noout", "-in", t.name], capture_output=True)
            print("ok" if r.returncode == 0 and b"RSA key ok" in r.stdout else "bad")
    elif f[0] == "crt":      # d p q -> dp dq qinv
        d, p, q = map(H, f[1:])
        print(*(format(v, "x") for v in (rsa.rsa_crt_dmp1(d, p), rsa.rsa_crt_dmq1(d, q), rsa.rsa_crt_iqmp(p, q))))
    elif f[0] == "dss":      # DER -> r s
        r, s = decode_dss_signature(bytes.fromhex(f[1][1:]))
        print(format(r, "x"), format(s, "x"))
)PY";

bool OracleAvailable() {
  return std::system("/usr/bin/python3 -c 'import cryptography' >/dev/null 2>&1") == 0 &&
         std::system("openssl version >/dev/null 2>&1") == 0;
}

std::vector<std::string> Ask(const std::string& requests) {
  std::string output;
  EXPECT_TRUE(testing_support::RunPython(kOracle, "", requests, &output, "/usr/bin/python3"));
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = output.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(output.substr(at, end - at));
  }
  return lines;
}

// Arg is a number for the oracle: "x" and its hex, so that an empty part still shows.
std::string Arg(const core::BufferCore& b) { return " x" + Hex(b); }
std::string Stripped(const std::string& hex) {
  const size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? "0" : hex.substr(first);
}

class ProviderKeys : public ProviderTest {};

TEST_F(ProviderKeys, CreationRefusalsAndTheirTexts) {
  Set("UseFIPSCompliantAPI=true");
  RsaKeyParams rsa;
  DsaKeyParams dsa;
  core::Buffer text;
  EXPECT_EQ(CngCreateRsaKey(1024, rsa, kProviderDefault), kNotAllowedInFips);
  EXPECT_EQ(CngCreateRsaKey(1024, rsa, kProviderDefault, &text), kNotAllowedInFips);
  EXPECT_EQ(Text(text), "Could not create RSA parameters: FIPS mode requires that the RSA modulus size must be 2048 "
                        "bits or more, but the size is only 1024 bits.");
  EXPECT_EQ(CngCreateDsaKey(1024, dsa, kProviderDefault, &text), kNotAllowedInFips);
  EXPECT_EQ(Text(text), "Could not create DSA parameters: FIPS mode requires that the DSA key size must be 2048 or "
                        "3072 bits, but the size is 1024 bits.");
  for (bool fips : {true, false}) {
    Set(fips ? "UseFIPSCompliantAPI=true" : "UseFIPSCompliantAPI=false");
    const uint32_t mode = fips ? kProviderDefault : kProviderPlatform;
    EcKeyParams ec;
    for (int32_t type = 3; type <= 6; ++type) {
      EXPECT_EQ(CngCreateEccKey(type, ec, mode, &text), 1410) << type;
      EXPECT_EQ(Text(text), "Could not create EdDSA parameters: EdDSA is not supported in FIPS compliant mode.");
    }
    EXPECT_EQ(CngCreateEccKey(10, ec, mode, &text), 1410);
    EXPECT_EQ(Text(text), "Could not create ECDSA parameters: The curve secp256k1 is not supported in FIPS compliant "
                          "mode.");
  }
}

TEST_F(ProviderKeys, CreationAndCompletionByProvider) {
  VELMORA_REQUIRE_PLATFORM_CRYPTO();
  if (!OracleAvailable()) GTEST_SKIP() << "needs openssl and /usr/bin/python3 with cryptography";
  // The default mode creates with the library's engines: the stand-in sees nothing.
  RsaKeyParams small;
  EcKeyParams ec;
  ASSERT_EQ(CngCreateRsaKey(512, small, kProviderDefault), 0);
  ASSERT_EQ(CngCreateEccKey(0, ec, kProviderDefault), 0);
  EXPECT_EQ(Calls("NCryptCreatePersistedKey") + Calls("BCryptGenerateKeyPair") + Calls("NCryptImportKey"), 0);

  Set("UseFIPSCompliantAPI=true");
  RsaKeyParams rsa;
  ASSERT_EQ(CngCreateRsaKey(2048, rsa, kProviderDefault), 0);
  EXPECT_EQ(Calls("NCryptCreatePersistedKey"), 1);
  // Completion: through the platform in FIPS mode and with mode 1, computed with mode 0.
  std::string requests = "check" + Arg(rsa.Modulus) + Arg(rsa.Exponent) + Arg(rsa.D) + Arg(rsa.P) + Arg(rsa.Q) +
                         Arg(rsa.DP) + Arg(rsa.DQ) + Arg(rsa.InverseQ) + "\n";
  requests += "crt" + Arg(rsa.D) + Arg(rsa.P) + Arg(rsa.Q) + "\n";
  const auto answers = Ask(requests);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], "ok");
  for (int pass = 0; pass < 3; ++pass) {
    Set(pass == 0 ? "UseFIPSCompliantAPI=true" : "UseFIPSCompliantAPI=false");
    const uint32_t mode = pass == 2 ? kProviderInternal : kProviderPlatform;
    RsaKeyParams partial;
    ASSERT_EQ(partial.CopyFrom(rsa), 0);
    ASSERT_EQ(partial.DP.Clear() + partial.DQ.Clear() + partial.InverseQ.Clear(), 0);
    const int before = Calls("NCryptExportKey");
    ASSERT_EQ(CompleteRsaPrivateKey(partial, static_cast<int32_t>(mode)), 0) << pass;
    EXPECT_EQ(Calls("NCryptExportKey") > before, pass != 2) << pass;
    EXPECT_EQ(Stripped(Hex(partial.DP)) + " " + Stripped(Hex(partial.DQ)) + " " + Stripped(Hex(partial.InverseQ)),
              answers[1])
        << pass;
  }
}

// Keys made on one provider sign, verify, encrypt and decrypt against the other, both ways.
TEST_F(ProviderKeys, ProvidersAgreeEndToEnd) {
  VELMORA_REQUIRE_PLATFORM_CRYPTO();
  RsaKeyParams rsa;
  DsaKeyParams dsa;
  ASSERT_EQ(CngCreateRsaKey(2048, rsa, kProviderPlatform), 0);
  ASSERT_EQ(CngCreateDsaKey(2048, dsa, kProviderPlatform), 0);
  EXPECT_EQ(dsa.Q.Length(), 32);
  EcKeyParams p256;
  const int created = Calls("NCryptFinalizeKey");
  ASSERT_EQ(CngCreateEccKey(0, p256, kProviderPlatform), 0);
  EXPECT_GT(Calls("NCryptFinalizeKey"), created);
  const std::string digest = FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (uint32_t signer : {kProviderInternal, kProviderPlatform}) {
    const uint32_t verifier = signer == kProviderInternal ? kProviderPlatform : kProviderInternal;
    component::CryptoComponent a, b;
    ASSERT_EQ(SelectRsaProvider(a, rsa, signer), 0);
    ASSERT_EQ(SelectRsaProvider(b, rsa, verifier), 0);
    core::Buffer signature, cipher, plain;
    ASSERT_EQ(HeldRsaKey(a)->Sign(U8(digest), 32, "SHA256", signature, 0, 0), 0);
    int32_t valid = 0;
    ASSERT_EQ(HeldRsaKey(b)->Verify(U8(digest), 32, signature.Bytes(), signature.Length(), "SHA256", valid, 0, 0, 1), 0);
    EXPECT_EQ(valid, 1) << signer;
    ASSERT_EQ(HeldRsaKey(a)->Encrypt(U8(digest), 32, cipher, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    ASSERT_EQ(HeldRsaKey(b)->Decrypt(cipher.Bytes(), cipher.Length(), plain, 1, nullptr, 0, "SHA256", "SHA256"), 0);
    EXPECT_EQ(Text(plain), digest) << signer;

    ASSERT_EQ(SelectDsaProvider(a, dsa, signer), 0);
    ASSERT_EQ(SelectDsaProvider(b, dsa, verifier), 0);
    ASSERT_EQ(SignHash(a, U8(digest), 32, signature, 0), 0);
    ASSERT_EQ(HeldDsaKey(b)->Verify(U8(digest), 32, signature.Bytes(), signature.Length(), &valid), 0);
    EXPECT_EQ(valid, 1) << signer;

    ASSERT_EQ(SelectEccProvider(a, p256, signer), 0);
    ASSERT_EQ(SelectEccProvider(b, p256, verifier), 0);
    EXPECT_EQ(dynamic_cast<CngEccKey*>(HeldEccKey(signer == kProviderPlatform ? a : b)) != nullptr, true);
    ASSERT_EQ(SignHash(a, U8(digest), 32, signature, 0), 0);
    ASSERT_EQ(HeldEccKey(b)->Verify(U8(digest), 32, signature.Bytes(), signature.Length(), valid), 0);
    EXPECT_EQ(valid, 1) << signer;
  }
  // PKCS#1 v1.5 is deterministic: the record signs the same bytes on either provider.
  KeyRecord record;
  record.Type = kKeyRsa;
  ASSERT_EQ(record.RsaParams.CopyFrom(rsa), 0);
  core::Buffer internal_signature, platform_signature;
  ASSERT_EQ(SignWithKeyRecord(U8(digest), 32, "SHA256", record, internal_signature), 0);
  Set("UseFIPSCompliantAPI=true");
  const int before = Calls("NCryptSignHash");
  ASSERT_EQ(SignWithKeyRecord(U8(digest), 32, "SHA256", record, platform_signature), 0);
  EXPECT_GT(Calls("NCryptSignHash"), before);
  EXPECT_EQ(Hex(platform_signature), Hex(internal_signature));
}

TEST_F(ProviderKeys, SignatureFrontOperations) {
  if (!OracleAvailable()) GTEST_SKIP() << "needs openssl and /usr/bin/python3 with cryptography";
  DsaKeyParams dsa;
  ASSERT_EQ(CngCreateDsaKey(1024, dsa, kProviderDefault), 0);
  component::CryptoComponent c;
  core::Buffer raw, der;
  const std::string digest(20, 'd');
  EXPECT_EQ(SignHash(c, U8(digest), 20, raw, 0), -1);
  EXPECT_EQ(DsaKeySizeBits(c), -1);
  ASSERT_EQ(SelectDsaProvider(c, dsa, kProviderInternal), 0);
  EXPECT_EQ(DsaKeySizeBits(c), 1024);
  ASSERT_EQ(SignHash(c, U8(digest), 20, raw, 0), 0);
  ASSERT_EQ(SignHash(c, U8(digest), 20, der, 1), 0);
  int32_t valid = 0;
  ASSERT_EQ(VerifyRaw(c, U8(digest), 20, der.Bytes(), der.Length(), valid), 0);
  EXPECT_EQ(valid, 1);
  ASSERT_EQ(raw.Length(), 40);
  // DSA signs with a fresh k each time, so the DER form is checked on its own: python3-cryptography's
  // halves, each fitted to 20 bytes, are a raw signature the key accepts.
  const auto answers = Ask("dss" + Arg(der) + "\n");
  ASSERT_EQ(answers.size(), 1u);
  const size_t space = answers[0].find(' ');
  ASSERT_NE(space, std::string::npos);
  auto fitted = [](std::string hex) { return FromHex(std::string(40 - std::min<size_t>(40, hex.size()), '0') + hex); };
  const std::string halves = fitted(answers[0].substr(0, space)) + fitted(answers[0].substr(space + 1));
  for (const std::string& signature : {Text(raw), halves}) {
    int32_t raw_valid = 0;
    ASSERT_EQ(HeldDsaKey(c)->Verify(U8(digest), 20, U8(signature), 40, &raw_valid), 0);
    EXPECT_EQ(raw_valid, 1);
  }
  // A P of 129 bytes (a leading zero byte) is still a 1024-bit key.
  DsaKeyParams padded;
  ASSERT_EQ(padded.CopyFrom(dsa), 0);
  ASSERT_EQ(padded.P.SetData(1, "\0"), 0);
  ASSERT_EQ(padded.P.Append(dsa.P), 0);
  ASSERT_EQ(padded.P.Length(), 129);
  component::CryptoComponent p;
  ASSERT_EQ(SelectDsaProvider(p, padded, kProviderInternal), 0);
  EXPECT_EQ(DsaKeySizeBits(p), 1024);
}

TEST_F(ProviderKeys, EcdhDefaultHashIsSha256) {
  EcKeyParams ours, theirs;
  ASSERT_EQ(CngCreateEccKey(0, ours, kProviderDefault), 0);
  ASSERT_EQ(CngCreateEccKey(0, theirs, kProviderDefault), 0);
  component::CryptoComponent c;
  ASSERT_EQ(SelectEccProvider(c, ours, kProviderInternal), 0);
  core::Buffer by_default, named, by_null;
  const std::string id = "id", u = "party u", v = "party v";
  ConcatKdfInfo info;
  info.algorithm_id = U8(id);
  info.algorithm_id_length = 2;
  info.party_u_info = U8(u);
  info.party_u_length = 7;
  info.party_v_info = U8(v);
  info.party_v_length = 7;
  ASSERT_EQ(EcdhDeriveKeyDefaultHash(c, theirs, "", info, by_default), 0);
  ASSERT_EQ(EcdhDeriveKeyDefaultHash(c, theirs, nullptr, info, by_null), 0);
  ASSERT_EQ(EcdhDeriveKeyDefaultHash(c, theirs, "SHA256", info, named), 0);
  EXPECT_EQ(by_default.Length(), 32);
  EXPECT_EQ(Hex(by_default), Hex(named));
  EXPECT_EQ(Hex(by_null), Hex(named));
  if (testing::kPlatformCrypto) {
    // In FIPS mode the same agreement runs through the platform's key and gives the same bytes.
    Set("UseFIPSCompliantAPI=true");
    component::CryptoComponent fips;
    ASSERT_EQ(SelectEccProvider(fips, ours, kProviderDefault), 0);
    ASSERT_NE(dynamic_cast<CngEccKey*>(HeldEccKey(fips)), nullptr);
    const int before = Calls("NCryptSecretAgreement");
    core::Buffer platform_default;
    ASSERT_EQ(EcdhDeriveKeyDefaultHash(fips, theirs, "", info, platform_default), 0);
    EXPECT_GT(Calls("NCryptSecretAgreement"), before);
    EXPECT_EQ(Hex(platform_default), Hex(named));
  }
  component::CryptoComponent empty;
  EXPECT_EQ(EcdhDeriveKeyDefaultHash(empty, theirs, "", info, named), -1);
}

// HMAC-SHA256 over the P-256 secret with an empty HMAC key: the platform keys it with Z, and the
// library's key must derive the same bytes.
TEST_F(ProviderKeys, EcdhHmacWithoutKeyIsTheSameOnBothProviders) {
  VELMORA_REQUIRE_PLATFORM_CRYPTO();
  EcKeyParams ours, theirs;
  ASSERT_EQ(CngCreateEccKey(0, ours, kProviderDefault), 0);
  ASSERT_EQ(CngCreateEccKey(0, theirs, kProviderDefault), 0);
  std::string derived[2];
  for (uint32_t provider : {kProviderInternal, kProviderPlatform}) {
    component::CryptoComponent c;
    ASSERT_EQ(SelectEccProvider(c, ours, provider), 0);
    core::Buffer out;
    ASSERT_EQ(HeldEccKey(c)->Agree(theirs, 8, out, nullptr, 0, nullptr, 0, nullptr, 0), 0) << provider;
    EXPECT_EQ(out.Length(), 32) << provider;
    derived[provider == kProviderPlatform] = Hex(out);
  }
  EXPECT_EQ(derived[0], derived[1]);
}

// The default mode's keyed HMAC and AES now run on the platform and agree with the internal-only results.
TEST_F(ProviderKeys, DefaultModeSymmetricWorkRunsOnThePlatform) {
  VELMORA_REQUIRE_PLATFORM_CRYPTO();
  const std::string key(16, 'k'), iv(16, 'i'), data(64, 'd');
  std::string results[2];
  for (int internal_only = 0; internal_only < 2; ++internal_only) {
    Set(internal_only ? "UseInternalCryptoAPI=true" : "UseInternalCryptoAPI=false");
#if VELMORABLE_PLATFORM_CRYPTO
    platform::test::ResetCryptoCallCounts();
#endif
    core::Buffer mac, cipher;
    ASSERT_EQ(ComputeHmac(47, U8(key), 16, data.data(), 64, mac), 0);
    component::CryptoComponent c;
    const CipherInit init{U8(key), 16, U8(iv), 16, 0, kModeCbc, 0, nullptr};
    ASSERT_EQ(SelectCipherProvider(c, kEngineCipherAes, init, kProviderDefault), 0);
    int32_t length = 64;
    ASSERT_EQ(HeldCipher(c)->Encrypt(U8(data), 0, &length, cipher, 1), 0);
    EXPECT_EQ(Calls("BCryptHashData") > 0, internal_only == 0);
    EXPECT_EQ(Calls("BCryptEncrypt") > 0, internal_only == 0);
    results[internal_only] = Hex(mac) + " " + Hex(cipher);
  }
  EXPECT_EQ(results[0], results[1]);
}

}  // namespace
}  // namespace velmora::crypto
