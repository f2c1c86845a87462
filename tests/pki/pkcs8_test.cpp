// Encrypted PKCS #8 keys and the key DER structures against openssl and Debian's python3-cryptography:
// openssl's PBES1 and PBES2 schemes and the vectors' keys through DecryptPkcs8WithPassword, our encrypted
// writer opened by openssl, and genpkey keys of every type read to python's numbers and written back as
// openssl writes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "asn1/der_header.h"
#include "pki/key_der.h"
#include "pki/password_encryption.h"
#include "pki/pem_armour.h"
#include "tests/pki/pkcs8_test_support.h"

namespace velmora::pki::testing {
namespace {

constexpr const char* kLegacy = " -provider legacy -provider default";

// Decrypt runs DecryptPkcs8WithPassword into a buffer that held "kept" and returns its code.
int Decrypt(const std::string& der, const char* password, std::string* out) {
  core::Buffer buffer;
  EXPECT_EQ(buffer.SetString("kept"), 0);
  const int rc = DecryptPkcs8WithPassword(buffer, reinterpret_cast<const uint8_t*>(der.data()),
                                          static_cast<int32_t>(der.size()), password);
  *out = Bytes(buffer);
  return rc;
}

// PemBody is the body of the first PEM block of text holding label ("" when there is none).
std::string PemBody(const std::string& text, const char* label) {
  core::Buffer body;
  return PemDecode(text.c_str(), label, body, nullptr) == 0 ? Bytes(body) : "";
}

TEST(Pkcs8Decrypt, OpensslSchemesAndVectorKeysOpenOrAreRefused) {
  ProvidersLoaded providers;
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl is not installed";
  ScratchDir scratch;
  const std::string key = scratch / "key.pem";
  ASSERT_TRUE(Shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + key));
  ASSERT_TRUE(Shell("openssl pkcs8 -topk8 -nocrypt -outform DER -in " + key + " -out " + scratch / "plain.der"));
  const std::string plain = scratch.Read("plain.der");
  struct Row {
    std::string arguments;
    int expected;
  };
  const std::vector<Row> rows = {
      {"-v2 aes-256-cbc", 0},
      {"-v2 aes-128-cbc -v2prf hmacWithSHA1", 0},
      {"-v2 des3", 0},
      {std::string("-v1 PBE-MD5-DES") + kLegacy, 0},
      {std::string("-v1 PBE-SHA1-DES") + kLegacy, 0},
      {std::string("-v1 PBE-MD5-RC2-64") + kLegacy, 0},
      {"-v2 aes-256-cbc -v2prf hmacWithSHA512", kPkcs8DecryptFailed},
      {"-v1 PBE-SHA1-3DES", kPkcs8DecryptFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    ASSERT_TRUE(Shell("openssl pkcs8 -topk8 -passout pass:x -outform DER " + row.arguments + " -in " + key + " -out " +
                      scratch / "enc.der"));
    const std::string encrypted = scratch.Read("enc.der");
    std::string out;
    EXPECT_EQ(Decrypt(encrypted, "x", &out), row.expected);
    EXPECT_EQ(out, row.expected == 0 ? plain : "kept");
    EXPECT_EQ(Decrypt(encrypted, "wrong", &out), kPkcs8DecryptFailed);
    EXPECT_EQ(out, "kept");
  }

  // The vectors' encrypted keys read to python's numbers; those under PKCS #12 PBE OIDs and a bad OID
  // are refused.
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3-cryptography is not installed";
  const std::string dir = std::string(kVectors) + "/asymmetric/PKCS8/";
  std::string listing;
  ASSERT_TRUE(Shell("cd " + dir + " && ls enc-*.pem enc2-*.pem ec_private_key_encrypted.pem pkcs12_s2k_pem-X_*.pem "
                    "bad-encryption-oid.pem", &listing));
  std::istringstream names(listing);
  for (std::string name; std::getline(names, name);) {
    SCOPED_TRACE(name);
    const std::string der = PemBody(ReadFile(dir + name), "ENCRYPTED PRIVATE KEY");
    // enc-rsa-pkcs8.pem is under a PKCS #12 PBE OID too.
    const bool refused = name.rfind("pkcs12_s2k", 0) == 0 || name.rfind("bad-", 0) == 0 || name == "enc-rsa-pkcs8.pem";
    const char* password = name.rfind("ec_", 0) == 0 ? "123456" : name.rfind("enc2", 0) == 0 ? "baz" : "foobar";
    std::string out;
    ASSERT_EQ(Decrypt(der, password, &out), refused ? kPkcs8DecryptFailed : 0);
    if (refused) continue;
    Pkcs8KeyInfo info;
    ASSERT_EQ(ReadPkcs8PrivateKeyInfo(reinterpret_cast<const uint8_t*>(out.data()), static_cast<int32_t>(out.size()),
                                      info),
              0);
    EXPECT_EQ(PkcsOracle("key", dir + name, password), std::vector<std::string>{KeyLine(info.key)});
  }
}

TEST(Pkcs8Write, OpensslOpensOurEncryptedKeysWithFipsOffAndOn) {
  ProvidersLoaded providers;
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
  ScratchDir scratch;
  ASSERT_TRUE(Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 | openssl pkcs8 -topk8 "
                    "-nocrypt -outform DER -out " + scratch / "plain.der"));
  const std::string plain = scratch.Read("plain.der");
  std::vector<std::pair<bool, size_t>> modes = {{false, 8}};
#ifdef VELMORABLE_PLATFORM_CRYPTO
  modes.push_back({true, 16});  // FIPS mode needs the platform's PBKDF2
#endif
  for (const auto& [fips, salt_length] : modes) {
    SCOPED_TRACE(fips ? "FIPS on" : "FIPS off");
    ASSERT_EQ(providers.settings.Set(fips ? "UseFIPSCompliantAPI=true" : "UseFIPSCompliantAPI=false"), 0);
    core::Buffer pem;
    ASSERT_EQ(WriteEncryptedPkcs8(reinterpret_cast<const uint8_t*>(plain.data()), static_cast<int32_t>(plain.size()),
                                  "x", pem),
              0);
    const std::string path = scratch.Write("enc.pem", Bytes(pem));
    std::string opened, salt;
    ASSERT_TRUE(Shell("openssl pkey -passin pass:x -in " + path, &opened));
    EXPECT_EQ(Hex(PemBody(opened, "PRIVATE KEY")), Hex(plain));
    ASSERT_TRUE(Shell(std::string(kDebianPython) +
                          " -c \"import sys; from asn1crypto import keys, pem; k = keys.EncryptedPrivateKeyInfo.load("
                          "pem.unarmor(open(sys.argv[1], 'rb').read())[2]); print(len(k['encryption_algorithm']"
                          "['parameters']['key_derivation_func']['parameters']['salt'].native))\" " + path,
                      &salt));
    EXPECT_EQ(std::stoul(salt), salt_length);
    std::string out;
    ASSERT_EQ(providers.settings.Set("UseFIPSCompliantAPI=false"), 0);
    EXPECT_EQ(Decrypt(PemBody(Bytes(pem), "ENCRYPTED PRIVATE KEY"), "x", &out), 0);
    EXPECT_EQ(out, plain);
  }
}

// Encode is one of the DER writers for a key record.
std::string Encode(crypto::KeyRecord& key, bool public_only) {
  core::Buffer out;
  int rc = -1;
  switch (key.Type) {
    case crypto::kKeyRsa:
      if (public_only) {
        crypto::RsaKeyParams pub;
        EXPECT_EQ(pub.Modulus.Assign(key.RsaParams.Modulus), 0);
        EXPECT_EQ(pub.Exponent.Assign(key.RsaParams.Exponent), 0);
        rc = EncodeRsaKeyInfo(pub, false, out);
      } else {
        rc = EncodeRsaKeyInfo(key.RsaParams, false, out);
      }
      break;
    case crypto::kKeyDsa:
      if (public_only) {
        crypto::DsaKeyParams pub;
        EXPECT_EQ(pub.CopyFrom(key.DsaParams), 0);
        EXPECT_EQ(pub.X.SetData(0, nullptr), 0);
        rc = EncodeDsaKeyInfo(pub, false, out);
      } else {
        rc = EncodeDsaKeyInfo(key.DsaParams, false, out);
      }
      break;
    case crypto::kKeyEc:
      rc = EncodeEcKeyInfo(key.EcParams, false, out, public_only);
      break;
    case crypto::kKeyEdwards:
      rc = EncodeOkpKeyInfo(key.EdParams, false, out, public_only);
      break;
    default:
      break;
  }
  EXPECT_EQ(rc, 0);
  return Bytes(out);
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
int32_t Size(const std::string& s) { return static_cast<int32_t>(s.size()); }

TEST(KeyDer, GenpkeyKeysReadToPythonNumbersAndWriteAsOpensslDoes) {
  ProvidersLoaded providers;
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 is missing";
  ScratchDir scratch;
  const std::vector<std::string> kinds = {
      "-algorithm RSA -pkeyopt rsa_keygen_bits:2048",
      "-paramfile " + std::string(kPkcsData) + "dsa_params.pem",
      "-algorithm EC -pkeyopt ec_paramgen_curve:P-256",
      "-algorithm EC -pkeyopt ec_paramgen_curve:P-384",
      "-algorithm EC -pkeyopt ec_paramgen_curve:P-521",
      "-algorithm EC -pkeyopt ec_paramgen_curve:secp256k1",
      "-algorithm ED25519", "-algorithm ED448", "-algorithm X25519", "-algorithm X448"};
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    const std::string key = scratch / "key.pem";
    ASSERT_TRUE(Shell("openssl genpkey " + kind + " -out " + key));
    ASSERT_TRUE(Shell("openssl pkcs8 -topk8 -nocrypt -outform DER -in " + key + " -out " + scratch / "p8.der"));
    ASSERT_TRUE(Shell("openssl pkey -pubout -outform DER -in " + key + " -out " + scratch / "pub.der"));
    const std::string p8 = scratch.Read("p8.der");
    Pkcs8KeyInfo info;
    ASSERT_EQ(ReadPkcs8PrivateKeyInfo(U8(p8), Size(p8), info), 0);
    EXPECT_EQ(PkcsOracle("key", key), std::vector<std::string>{KeyLine(info.key)});

    // Our PKCS #8 and SubjectPublicKeyInfo read back in openssl to the same key; all but the EC private
    // key (openssl adds the curve inside) equal openssl's bytes.
    const std::string ours = Encode(info.key, false);
    if (info.key.Type != crypto::kKeyEc) {
      EXPECT_EQ(Hex(ours), Hex(p8));
    }
    std::string theirs_text, ours_text;
    ASSERT_TRUE(Shell("openssl pkey -inform DER -text -noout -in " + scratch / "p8.der", &theirs_text));
    ASSERT_TRUE(Shell("openssl pkey -inform DER -text -noout -in " + scratch.Write("ours.der", ours), &ours_text));
    EXPECT_EQ(ours_text, theirs_text);
    EXPECT_EQ(Hex(Encode(info.key, true)), Hex(scratch.Read("pub.der")));

    // The traditional structures.
    if (info.key.Type == crypto::kKeyRsa) {
      // The outer header (a long-form length) comes off whole and goes back on.
      core::Buffer stripped;
      uint8_t tag = 0;
      ASSERT_EQ(stripped.SetData(Size(p8), p8.data()), 0);
      ASSERT_EQ(DerStripHeader(stripped, &tag), 0);
      EXPECT_EQ(tag, 0x30);
      EXPECT_EQ(Hex(Bytes(stripped)), Hex(p8.substr(4)));
      ASSERT_EQ(DerWrapInTag(stripped, 0x30), 0);
      EXPECT_EQ(Hex(Bytes(stripped)), Hex(p8));
      ASSERT_TRUE(Shell("openssl rsa -traditional -outform DER -in " + key + " -out " + scratch / "t.der"));
      ASSERT_TRUE(Shell("openssl rsa -RSAPublicKey_out -outform DER -in " + key + " -out " + scratch / "tp.der"));
      const std::string traditional = scratch.Read("t.der");
      crypto::KeyRecord read;
      read.Type = crypto::kKeyRsa;
      ASSERT_EQ(ReadRsaPrivateKeyDer(U8(traditional), Size(traditional), read.RsaParams), 0);
      EXPECT_EQ(KeyLine(read), KeyLine(info.key));
      core::Buffer der;
      ASSERT_EQ(EncodeRsaKeyDer(info.key.RsaParams, false, der), 0);
      EXPECT_EQ(Hex(Bytes(der)), Hex(traditional));
      crypto::RsaKeyParams pub;
      ASSERT_EQ(pub.Modulus.Assign(info.key.RsaParams.Modulus), 0);
      ASSERT_EQ(pub.Exponent.Assign(info.key.RsaParams.Exponent), 0);
      ASSERT_EQ(EncodeRsaKeyDer(pub, true, der), 0);
      EXPECT_NE(Bytes(der).find("-----BEGIN RSA PUBLIC KEY-----"), std::string::npos);
      EXPECT_EQ(Hex(PemBody(Bytes(der), "RSA PUBLIC KEY")), Hex(scratch.Read("tp.der")));
    }
    if (info.key.Type == crypto::kKeyDsa) {
      ASSERT_TRUE(Shell("openssl dsa -outform DER -in " + key + " -out " + scratch / "t.der"));
      const std::string traditional = scratch.Read("t.der");
      for (const std::string* layout : {&traditional, &p8}) {
        crypto::KeyRecord read;
        read.Type = crypto::kKeyDsa;
        ASSERT_EQ(ReadDsaPrivateKeyDer(U8(*layout), Size(*layout), read.DsaParams), 0);
        EXPECT_EQ(KeyLine(read), KeyLine(info.key));
      }
      // Y is computed into the caller's parameters when missing.
      crypto::DsaKeyParams without_y;
      ASSERT_EQ(without_y.CopyFrom(info.key.DsaParams), 0);
      ASSERT_EQ(without_y.Y.SetData(0, nullptr), 0);
      core::Buffer der;
      ASSERT_EQ(EncodeDsaKeyDer(without_y, false, der), 0);
      EXPECT_EQ(Hex(Bytes(der)), Hex(traditional));
      EXPECT_EQ(Number(without_y.Y), Number(info.key.DsaParams.Y));
    }
    if (info.key.Type == crypto::kKeyEc) {
      ASSERT_TRUE(Shell("openssl ec -outform DER -in " + key + " -out " + scratch / "t.der"));
      const std::string sec1 = scratch.Read("t.der");
      for (const std::string* layout : {&sec1, &p8}) {
        crypto::KeyRecord read;
        read.Type = crypto::kKeyEc;
        ASSERT_EQ(ReadEcPrivateKeyDer(U8(*layout), Size(*layout), read.EcParams), 0);
        EXPECT_EQ(KeyLine(read), KeyLine(info.key));
      }
    }
  }
}

TEST(KeyDer, VectorAndScriptKeysReadToPythonNumbers) {
  ProvidersLoaded providers;
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3-cryptography is not installed";
  std::string listing;
  const std::string root = std::string(kVectors) + "/asymmetric/";
  ASSERT_TRUE(Shell("cd " + root + " && ls PEM_Serialization/*.pem DER_Serialization/*.der "
                    "PKCS8/unenc-*-pkcs8.pem PKCS8/*dompar_private.pkcs8.pem PKCS8/ec_private_key.pem "
                    "PKCS8/ecc_private_with_rfc5915_ext.pem | grep -v -i 'pub\\|enc_\\|unenc-.*-pkcs8.pub'",
                    &listing));
  std::istringstream names(listing);
  int read_count = 0;
  for (std::string name; std::getline(names, name);) {
    const std::string path = root + name;
    const std::vector<std::string> expected = PkcsOracle("key", path);
    if (expected.empty()) continue;  // python does not read it without a password, or it is public
    SCOPED_TRACE(name);
    const std::string text = ReadFile(path);
    const std::string der = text.find("-----BEGIN") != std::string::npos ? PemBody(text, "PRIVATE KEY") : text;
    // PKCS #8 first, else the traditional reader of the kind python names.
    crypto::KeyRecord key;
    Pkcs8KeyInfo info;
    int rc = ReadPkcs8PrivateKeyInfo(U8(der), Size(der), info);
    if (rc == 0) {
      ASSERT_EQ(key.CopyFrom(info.key), 0);
    } else if (expected[0].rfind("rsa|", 0) == 0) {
      key.Type = crypto::kKeyRsa;
      rc = ReadRsaPrivateKeyDer(U8(der), Size(der), key.RsaParams);
    } else if (expected[0].rfind("dsa|", 0) == 0) {
      key.Type = crypto::kKeyDsa;
      rc = ReadDsaPrivateKeyDer(U8(der), Size(der), key.DsaParams);
    } else {
      key.Type = crypto::kKeyEc;
      rc = ReadEcPrivateKeyDer(U8(der), Size(der), key.EcParams);
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::vector<std::string>{KeyLine(key)}, expected);
    ++read_count;
  }
  EXPECT_GT(read_count, 5);

  // Wrong CRT values are recomputed; a version-1 Ed25519 key reads alike with its public key as a BIT
  // STRING or as raw octets; RSASSA-PSS keys are refused.
  const std::string wrong = ReadFile(std::string(kPkcsData) + "pkcs8_wrong_crt.der");
  Pkcs8KeyInfo info;
  ASSERT_EQ(ReadPkcs8PrivateKeyInfo(U8(wrong), Size(wrong), info), 0);
  EXPECT_EQ(std::vector<std::string>{KeyLine(info.key)}, PkcsOracle("key", root + "PKCS8/unenc-rsa-pkcs8.pem"));
  std::vector<std::string> ed_lines;
  for (const char* name : {"pkcs8_ed25519_v1_bits.der", "pkcs8_ed25519_v1_raw.der"}) {
    const std::string der = ReadFile(std::string(kPkcsData) + name);
    Pkcs8KeyInfo ed;
    ASSERT_EQ(ReadPkcs8PrivateKeyInfo(U8(der), Size(der), ed), 0) << name;
    ed_lines.push_back(KeyLine(ed.key));
  }
  EXPECT_EQ(ed_lines[0], ed_lines[1]);
  EXPECT_EQ(std::vector<std::string>{ed_lines[0]},
            PkcsOracle("key", std::string(kPkcsData) + "pkcs8_ed25519_v0.der"));
  ASSERT_TRUE(Shell("cd " + root + "PKCS8 && ls rsa_pss_2048*.pem", &listing));
  std::istringstream pss(listing);
  for (std::string name; std::getline(pss, name);) {
    const std::string der = PemBody(ReadFile(root + "PKCS8/" + name), "PRIVATE KEY");
    Pkcs8KeyInfo refused;
    EXPECT_EQ(ReadPkcs8PrivateKeyInfo(U8(der), Size(der), refused), 446) << name;
  }
}

}  // namespace
}  // namespace velmora::pki::testing
