// AlgorithmIdentifier and SubjectPublicKeyInfo: openssl-made keys and certificates read to the numbers
// asn1crypto reads, written back byte for byte as openssl writes them, and every identifier and key of the
// corpus round-tripped.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "asn1/algorithm_identifier.h"
#include "component/component_base.h"
#include "pki/subject_public_key_info.h"
#include "tests/pki/pki_test_support.h"

namespace velmora::pki::testing {
namespace {

struct Held : core::Buffer {
  explicit Held(const std::string& bytes) { EXPECT_EQ(SetData(static_cast<int32_t>(bytes.size()), bytes.data()), 0); }
};

std::string StripZeros(std::string hex) {
  while (hex.size() > 2 && hex.compare(0, 2, "00") == 0) hex.erase(0, 2);
  return hex;
}
std::string Magnitude(const core::BufferCore& b) { return StripZeros(Hex(Bytes(b))); }

// PublicDer runs an openssl command that writes a key to path and returns its SubjectPublicKeyInfo DER.
std::string PublicDer(const std::string& make_key, const std::string& path) {
  std::string der;
  if (!Runs((make_key + " -out " + path + " 2>/dev/null").c_str())) return "";
  if (!RunCommand("openssl pkey -in " + path + " -pubout -outform DER 2>/dev/null", &der)) {
    RunCommand("openssl pkey -pubin -in " + path + " -pubout -outform DER", &der);
  }
  return der;
}

const std::string kGenEc = "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:";

TEST(AlgorithmIdentifierCodec, EdgeCasesAndFreshDecode) {
  AlgorithmIdentifier id;
  const std::string sha256_rsa("\x30\x0D\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0B\x05\x00", 15);
  ASSERT_EQ(id.Decode(Held(sha256_rsa)), 0);
  EXPECT_EQ(Bytes(id.oid), "1.2.840.113549.1.1.11");
  EXPECT_EQ(Hex(Bytes(id.parameters)), "0500");
  core::Buffer out;
  ASSERT_EQ(id.Encode(out, true), 0);
  EXPECT_EQ(Bytes(out), sha256_rsa);

  // RSASSA-PSS without parameters: the defaults; then a plain identifier decoded into the same record
  // keeps neither the PSS record nor parameters.
  ASSERT_EQ(id.Decode(Held(std::string("\x30\x0B\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0A", 13))), 0);
  ASSERT_NE(id.pss, nullptr);
  EXPECT_EQ(Bytes(id.pss->hashAlgorithm.oid), "1.3.14.3.2.26");
  EXPECT_EQ(Bytes(id.pss->maskGenAlgorithm), "1.2.840.113549.1.1.8");
  EXPECT_TRUE(id.pss->maskGenHash.oid.IsEmpty());
  EXPECT_EQ(id.pss->saltLength, 20);
  EXPECT_EQ(id.pss->trailerField, 1);
  ASSERT_EQ(id.Decode(Held(sha256_rsa)), 0);
  const std::string bare("\x30\x0B\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0B", 13);
  ASSERT_EQ(id.Decode(Held(bare)), 0);
  EXPECT_EQ(id.pss, nullptr);
  EXPECT_TRUE(id.parameters.IsEmpty());
  out.Clear();
  ASSERT_EQ(id.Encode(out, false), 0);
  EXPECT_EQ(Bytes(out), bare);
  out.Clear();
  ASSERT_EQ(id.Encode(out, true), 0);
  EXPECT_EQ(Bytes(out), sha256_rsa);

  // ECDSA and Ed25519 identifiers keep their parameters absent even when parameters are wanted.
  for (const std::string& absent : {std::string("\x30\x0A\x06\x08\x2A\x86\x48\xCE\x3D\x04\x03\x02", 12),
                                    std::string("\x30\x05\x06\x03\x2B\x65\x70", 7)}) {
    ASSERT_EQ(id.Decode(Held(absent)), 0);
    out.Clear();
    ASSERT_EQ(id.Encode(out, true), 0);
    EXPECT_EQ(Hex(Bytes(out)), Hex(absent));
  }
  EXPECT_EQ(id.Decode(Held(std::string("\x30\x00", 2))), 447);
}

TEST(AlgorithmIdentifierCodec, PssParametersAsAsn1cryptoReadsThemAndCopies) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  ASSERT_TRUE(Runs(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=pss -keyout " + dir / "k.pem" +
                    " -out " + dir / "pss.pem" +
                    " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -sha256 2>/dev/null")
                       .c_str()));
  std::vector<std::string> files = {dir / "pss.pem"};
  const std::string vectors = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/custom/";
  for (const char* name : {"rsa_pss.pem", "rsa_pss_cert.pem", "rsa_pss_sha256_no_null.pem"}) {
    if (std::filesystem::exists(vectors + name)) files.push_back(vectors + name);
  }
  for (const std::string& file : files) {
    std::string algs, expected;
    ASSERT_TRUE(Oracle("algs " + file, &algs));
    ASSERT_TRUE(Oracle("pss " + file, &expected));
    const auto want = testing_support::Lines(expected).at(0);
    AlgorithmIdentifier id;
    ASSERT_EQ(id.Decode(Held(Unhex(testing_support::Lines(algs).at(0).at(1)))), 0) << file;
    ASSERT_NE(id.pss, nullptr);
    EXPECT_EQ(Bytes(id.pss->hashAlgorithm.oid), want.at(1)) << file;
    // asn1crypto fills the MGF1 hash with its SHA-1 default; the record leaves it empty when absent.
    EXPECT_EQ(id.pss->maskGenHash.oid.IsEmpty() ? "1.3.14.3.2.26" : Bytes(id.pss->maskGenHash.oid), want.at(2));
    EXPECT_EQ(std::to_string(id.pss->saltLength), want.at(3)) << file;

    AlgorithmIdentifier copy;
    ASSERT_EQ(copy.CopyFrom(id), 0);
    ASSERT_NE(copy.pss, nullptr);
    EXPECT_NE(copy.pss.get(), id.pss.get());
    id.pss.reset();
    EXPECT_EQ(Bytes(copy.pss->hashAlgorithm.oid), want.at(1));
    EXPECT_EQ(copy.pss->saltLength, std::stoi(want.at(3)));
    ASSERT_EQ(copy.CopyFrom(id), 0);
    EXPECT_EQ(copy.pss, nullptr);
  }
}

TEST(AlgorithmIdentifierCodec, CorpusIdentifiersAndKeysRoundTrip) {
  if (!DebianPythonAvailable()) GTEST_SKIP() << "Debian's python3 missing";
  const std::string corpus = CorpusFiles();
  if (corpus.empty()) GTEST_SKIP() << "neither the CA bundle nor the vectors are installed";
  std::string output;
  ASSERT_TRUE(Oracle("algs" + corpus, &output));
  int identifiers = 0, gained_null = 0, other_gained_null = 0, keys = 0, keys_read = 0, keys_rewritten = 0;
  for (const auto& line : testing_support::Lines(output)) {
    const std::string der = Unhex(line.at(1));
    if (line[0] == "A") {
      ++identifiers;
      AlgorithmIdentifier id;
      ASSERT_EQ(id.Decode(Held(der)), 0) << line[1];
      core::Buffer out;
      ASSERT_EQ(id.Encode(out, true), 0);
      if (Bytes(out).size() == der.size() + 2 && id.parameters.IsEmpty()) {
        // Parameterless identifiers other than those whose parameters must be absent gain NULL.
        EXPECT_EQ(Hex(Bytes(out).substr(Bytes(out).size() - 2)), "0500") << line[1];
        ++(Bytes(id.oid).rfind("1.2.840.113549.1.1.", 0) == 0 ? gained_null : other_gained_null);
      } else {
        EXPECT_EQ(Hex(Bytes(out)), Hex(der));
      }
      continue;
    }
    ++keys;
    SubjectPublicKey key;
    const int rc = DecodePublicKeyFromSpki(Held(der), key);
    EXPECT_TRUE(rc == 0 || rc == -1 || rc == 446 || rc == 1401) << line[1] << " gave " << rc;
    if (rc != 0 || key.key.Type == crypto::kKeyNone) continue;
    ++keys_read;
    DerWriter written;
    if (EncodeSubjectPublicKeyInfo(key.key, written) == 0 && Bytes(written) == der) ++keys_rewritten;
  }
  std::printf("%d identifiers (without parameters, %d RSA and %d others gained NULL); %d keys, %d read, %d "
              "written back byte for byte\n",
              identifiers, gained_null, other_gained_null, keys, keys_read, keys_rewritten);
}

TEST(SubjectPublicKeyInfoCodec, OpensslKeysReadAndWrittenBack) {
  if (!OpensslAvailable() || !DebianPythonAvailable()) GTEST_SKIP() << "openssl or Debian's python3 missing";
  ScratchDir dir;
  const std::string dsa_params = std::string(VELMORA_TEST_DATA_DIR) + "/pki/dsa_params.pem";
  const struct {
    std::string make;
    int32_t type;
    int32_t curve;
    bool writes;
  } cases[] = {
      {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048", crypto::kKeyRsa, -1, true},
      {"openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072", crypto::kKeyRsa, -1, true},
      {"openssl genpkey -paramfile " + dsa_params, crypto::kKeyDsa, -1, true},
      {kGenEc + "P-256", crypto::kKeyEc, 0, true},
      {kGenEc + "P-384", crypto::kKeyEc, 1, true},
      {kGenEc + "P-521", crypto::kKeyEc, 2, true},
      {kGenEc + "secp256k1", crypto::kKeyEc, 10, true},
      {kGenEc + "P-256 -pkeyopt ec_param_enc:explicit", crypto::kKeyEc, 0, false},
      {kGenEc + "P-384 -pkeyopt ec_param_enc:explicit", crypto::kKeyEc, 1, false},
      {kGenEc + "P-521 -pkeyopt ec_param_enc:explicit", crypto::kKeyEc, 2, false},
      {kGenEc + "secp256k1 -pkeyopt ec_param_enc:explicit", crypto::kKeyEc, 10, false},
      {"openssl genpkey -algorithm Ed25519", crypto::kKeyEdwards, 3, true},
      {"openssl genpkey -algorithm Ed448", crypto::kKeyEdwards, 4, true},
      {"openssl genpkey -algorithm X25519", crypto::kKeyEdwards, 5, false},
      {"openssl genpkey -algorithm X448", crypto::kKeyEdwards, 6, false},
      {"openssl pkey -pubin -in " + std::string(VELMORA_TEST_DATA_DIR) + "/pki/p256_x_leading_zero.pem", crypto::kKeyEc,
       0, true},
  };
  for (const auto& c : cases) {
    const std::string der = PublicDer(c.make, dir / "key.pem");
    ASSERT_FALSE(der.empty()) << c.make;
    FILE* file = std::fopen((dir / "spki.der").c_str(), "wb");
    std::fwrite(der.data(), 1, der.size(), file);
    std::fclose(file);
    std::string oracle;
    ASSERT_TRUE(Oracle("spki " + dir / "spki.der", &oracle)) << c.make;
    const auto want = testing_support::Lines(oracle).at(0);
    SubjectPublicKey key;
    ASSERT_EQ(DecodePublicKeyFromSpki(Held(der), key), 0) << c.make;
    ASSERT_EQ(key.key.Type, c.type) << c.make;
    const crypto::KeyRecord& k = key.key;
    if (c.type == crypto::kKeyRsa) {
      EXPECT_EQ(Hex(Bytes(k.RsaParams.Modulus)), Hex(Unhex(want.at(1))));
      EXPECT_EQ(Hex(Bytes(k.RsaParams.Exponent)), Hex(Unhex(want.at(2))));
    } else if (c.type == crypto::kKeyDsa) {
      EXPECT_EQ(Hex(Bytes(k.DsaParams.P)), Hex(Unhex(want.at(1))));
      EXPECT_EQ(Hex(Bytes(k.DsaParams.Q)), Hex(Unhex(want.at(2))));
      EXPECT_EQ(Hex(Bytes(k.DsaParams.G)), Hex(Unhex(want.at(3))));
      EXPECT_EQ(Magnitude(k.DsaParams.Y), StripZeros(Hex(Unhex((want.at(4).size() % 2 ? "0" : "") + want.at(4)))));
    } else if (c.type == crypto::kKeyEc) {
      EXPECT_EQ(k.EcParams.KeyType, c.curve) << c.make;
      EXPECT_EQ(Magnitude(k.EcParams.X), StripZeros(Hex(Unhex((want.at(1).size() % 2 ? "0" : "") + want.at(1)))));
      EXPECT_EQ(Magnitude(k.EcParams.Y), StripZeros(Hex(Unhex((want.at(2).size() % 2 ? "0" : "") + want.at(2)))));
    } else {
      EXPECT_EQ(k.EdParams.KeyType, c.curve) << c.make;
      EXPECT_EQ(Hex(Bytes(k.EdParams.PublicKey)), Hex(Unhex(want.at(1))));
    }
    DerWriter written;
    const int rc = EncodeSubjectPublicKeyInfo(key.key, written);
    if (c.writes) {
      EXPECT_EQ(rc, 0) << c.make;
      EXPECT_EQ(Hex(Bytes(written)), Hex(der)) << c.make;
    } else if (c.type == crypto::kKeyEdwards) {
      EXPECT_EQ(rc, -1) << c.make;
    }
  }
}

TEST(SubjectPublicKeyInfoCodec, RefusedAndUnknownKeys) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl missing";
  ScratchDir dir;
  // Explicit brainpoolP256r1 parameters name none of the curves that explicit parameters may stand for.
  const std::string brainpool = PublicDer(kGenEc + "brainpoolP256r1 -pkeyopt ec_param_enc:explicit", dir / "k.pem");
  ASSERT_FALSE(brainpool.empty());
  SubjectPublicKey key;
  EXPECT_EQ(DecodePublicKeyFromSpki(Held(brainpool), key), 446);

  // The P-256 key with NULL (implicitlyCA) parameters, and with its point cut short.
  const std::string p256 = PublicDer(kGenEc + "P-256", dir / "p.pem");
  ASSERT_EQ(p256.size(), 91u);
  std::string implicit_ca = p256;
  implicit_ca.replace(13, 10, std::string("\x05\x00", 2));
  implicit_ca[1] = static_cast<char>(implicit_ca[1] - 8);
  implicit_ca[3] = static_cast<char>(implicit_ca[3] - 8);
  SubjectPublicKey untouched;
  untouched.key.EcParams.KeyType = 1;
  EXPECT_EQ(DecodePublicKeyFromSpki(Held(implicit_ca), untouched), 446);
  EXPECT_EQ(untouched.key.Type, crypto::kKeyNone);
  EXPECT_EQ(untouched.key.EcParams.KeyType, 1);
  std::string short_point = p256;
  short_point.pop_back();
  short_point[1] = static_cast<char>(short_point[1] - 1);
  short_point[24] = static_cast<char>(short_point[24] - 1);
  EXPECT_EQ(DecodePublicKeyFromSpki(Held(short_point), key), 1401);
  // One byte of Y changed, as an uncompressed and as a hybrid point: off the curve, refused (openssl
  // refuses it too), and the key left as it was.
  std::string off_curve = p256;
  off_curve[90] = static_cast<char>(off_curve[90] ^ 1);
  std::string hybrid = p256;
  hybrid[26] = static_cast<char>(6 | (p256[90] & 1));
  std::string hybrid_off_curve = off_curve;
  hybrid_off_curve[26] = hybrid[26];
  SubjectPublicKey held;
  ASSERT_EQ(DecodePublicKeyFromSpki(Held(hybrid), held), 0);
  ASSERT_EQ(DecodePublicKeyFromSpki(Held(p256), held), 0);
  for (const std::string& bad : {off_curve, hybrid_off_curve}) {
    SubjectPublicKey target;
    ASSERT_EQ(target.key.CopyFrom(held.key), 0);
    target.key.EcParams.KeyType = 1;
    EXPECT_EQ(DecodePublicKeyFromSpki(Held(bad), target), 1401) << Hex(bad);
    EXPECT_EQ(target.key.EcParams.KeyType, 1);
    EXPECT_EQ(Bytes(target.key.EcParams.X) + Bytes(target.key.EcParams.Y), p256.substr(27));
    FILE* file = std::fopen((dir / "bad.der").c_str(), "wb");
    std::fwrite(bad.data(), 1, bad.size(), file);
    std::fclose(file);
    EXPECT_FALSE(Runs(("openssl pkey -pubin -inform DER -noout -in " + dir / "bad.der" + " 2>/dev/null").c_str()));
  }

  const std::string vectors = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/custom/";
  std::string algs;
  if (DebianPythonAvailable() && Oracle("algs " + vectors + "unsupported_subject_public_key_info.pem", &algs)) {
    SubjectPublicKey unknown;
    const auto lines = testing_support::Lines(algs);
    ASSERT_EQ(DecodePublicKeyFromSpki(Held(Unhex(lines.at(2).at(1))), unknown), 0);
    EXPECT_EQ(unknown.key.Type, crypto::kKeyNone);
    EXPECT_FALSE(unknown.algorithm.oid.IsEmpty());
    ASSERT_TRUE(Oracle("algs " + vectors + "ec_no_named_curve.pem", &algs));
    SubjectPublicKey explicit_key;
    ASSERT_EQ(DecodePublicKeyFromSpki(Held(Unhex(testing_support::Lines(algs).at(2).at(1))), explicit_key), 0);
    EXPECT_EQ(explicit_key.key.EcParams.KeyType, 0);
  }

  // Three elements: refused, with the component's last error text.
  component::ComponentBase component;
  std::string three = p256 + std::string("\x05\x00", 2);
  three.replace(0, 2, std::string("\x30\x5B", 2));
  core::Buffer bits;
  EXPECT_EQ(ParseSubjectPublicKeyInfo(component, Held(three), bits), 446);
  EXPECT_EQ(Bytes(component.LastErrorText()), "Invalid SubjectPublicKeyInfo ASN.1 structure");
  ASSERT_EQ(ParseSubjectPublicKeyInfo(component, Held(p256), bits), 0);
  EXPECT_EQ(Bytes(bits), p256.substr(26));

  crypto::KeyRecord none;
  DerWriter written;
  ASSERT_EQ(EncodeSubjectPublicKeyInfo(none, written), 0);
  EXPECT_EQ(Hex(Bytes(written)), "3000");
}

}  // namespace
}  // namespace velmora::pki::testing
